#pragma once

// Memory shared with the compositor: an anonymous file mapped into the
// program and offered to the compositor as a wl_shm pool.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/wayland/wl_free.h"

struct wl_buffer;
struct wl_shm;
struct wl_shm_pool;

namespace ostrel {

class ShmMemory {
 public:
  // `bytes` of zeroed memory (pages are taken only when written). Throws
  // PlatformError when the file or the mapping cannot be made.
  ShmMemory(wl_shm* shm, std::size_t bytes);
  // Unmaps, and frees the pool (with its request) unless FreePool did.
  ~ShmMemory();
  ShmMemory(const ShmMemory&) = delete;
  ShmMemory& operator=(const ShmMemory&) = delete;

  std::size_t Size() const { return bytes_; }
  std::uint32_t* Pixels(std::size_t byte_offset) const;
  // Takes the pages of the first `bytes` now, in one call, where the kernel
  // can: writing them afterwards costs no page faults, which on a frame's
  // worth of fresh memory take as long as the writing itself.
  void TakePagesNow(std::size_t bytes) const;
  // A buffer of 32-bit pixels at `byte_offset`, `stride` bytes a row.
  wl_buffer* CreateBuffer(std::size_t byte_offset, int width, int height, int stride,
                          std::uint32_t format) const;
  // Frees the pool; buffers made from it stay valid.
  void FreePool(FreeMode mode);

 private:
  std::size_t bytes_;
  void* mapping_ = nullptr;
  wl_shm_pool* pool_ = nullptr;
};

}  // namespace ostrel
