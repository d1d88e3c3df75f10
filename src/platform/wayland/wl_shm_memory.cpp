#include "platform/wayland/wl_shm_memory.h"

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

#include "platform/platform_error.h"

namespace ostrel {
namespace {

[[noreturn]] void Fail(const char* what) {
  throw PlatformError(std::string("cannot make memory shared with the compositor (") + what +
                      "): " + std::strerror(errno));
}

}  // namespace

ShmMemory::ShmMemory(wl_shm* shm, std::size_t bytes) : bytes_(bytes) {
  if (bytes == 0 || bytes > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw PlatformError("the picture is too large for memory shared with the compositor");
  }
  const int fd = memfd_create("ostrel-frame", MFD_CLOEXEC);
  if (fd < 0) Fail("memfd_create");
  if (ftruncate(fd, static_cast<off_t>(bytes)) < 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    Fail("ftruncate");
  }
  mapping_ = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (mapping_ == MAP_FAILED) {
    const int saved = errno;
    close(fd);
    errno = saved;
    mapping_ = nullptr;
    Fail("mmap");
  }
  // The compositor gets its own descriptor with the request; ours is not needed.
  pool_ = wl_shm_create_pool(shm, fd, static_cast<std::int32_t>(bytes));
  close(fd);
}

ShmMemory::~ShmMemory() {
  FreePool(FreeMode::kWithRequests);
  if (mapping_ != nullptr) munmap(mapping_, bytes_);
}

std::uint32_t* ShmMemory::Pixels(std::size_t byte_offset) const {
  return reinterpret_cast<std::uint32_t*>(static_cast<unsigned char*>(mapping_) + byte_offset);
}

void ShmMemory::TakePagesNow(std::size_t bytes) const {
  // Before Linux 5.14 the advice is refused (EINVAL), and the pages are
  // taken as they are written, as without it.
  madvise(mapping_, std::min(bytes, bytes_), MADV_POPULATE_WRITE);
}

wl_buffer* ShmMemory::CreateBuffer(std::size_t byte_offset, int width, int height, int stride,
                                   std::uint32_t format) const {
  return wl_shm_pool_create_buffer(pool_, static_cast<std::int32_t>(byte_offset), width, height,
                                   stride, format);
}

void ShmMemory::FreePool(FreeMode mode) { FreeProxy(pool_, &wl_shm_pool_destroy, mode); }

}  // namespace ostrel
