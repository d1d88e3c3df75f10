#pragma once

// One output's cover: a surface with a role that makes it cover the output
// (CoverRole), shown from two buffers, one in each copy of the frame; or,
// once the output no longer matches its place in the frame (a new mode,
// scale or transform) or for an output that came during the run, from a
// still picture of its own at the size the compositor asks for.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "platform/image.h"
#include "platform/wayland/cover/cover.h"
#include "platform/wayland/frame_layout.h"
#include "platform/wayland/cover/wl_cover_role.h"
#include "platform/wayland/wl_free.h"

struct wl_buffer;
struct wl_callback;
struct wl_compositor;
struct wl_shm;
struct wl_surface;

namespace ostrel {

class ShmMemory;

class CoverSurface final : public Cover {
 public:
  using RoleMaker = std::function<std::unique_ptr<CoverRole>(wl_surface*)>;

  // Creates the surface, gives it the role `make_role` makes and commits it
  // without a buffer; the compositor answers with a configure. The surface's
  // user data is `input_place`: where the seat reckons the pointer's
  // positions on it from.
  CoverSurface(wl_compositor* compositor, const OutputPlace* input_place,
               const RoleMaker& make_role);
  ~CoverSurface();
  CoverSurface(const CoverSurface&) = delete;
  CoverSurface& operator=(const CoverSurface&) = delete;

  // The compositor has configured or closed it: it is not waited for.
  bool Answered() const { return role_->Configured() || role_->Closed(); }

  // Takes the output's buffer in each copy of the frame: `buffer_scale`
  // buffer pixels to a logical unit, `shown` logical units in all.
  void SetFrameBuffers(wl_buffer* copy0, wl_buffer* copy1, int buffer_scale, LogicalSize shown);

  // The compositor asks for a size that neither its frame buffers nor its
  // still picture have (or it has neither yet): it needs a still picture.
  bool WantsStill() const;
  // Shows a still picture at the size the compositor asks for, of
  // `buffer_scale` pixels to a logical unit: black where `paint` (given
  // the picture's pixels) leaves it so. From then on it is not shown from
  // the frame's copies, until SetFrameBuffers. With `until_presented`, it
  // is followed by a frame callback: Presented() tells when the compositor
  // has shown it.
  void ShowStill(wl_shm* shm, int buffer_scale, const std::function<void(Image&)>& paint,
                 bool until_presented = false);
  bool Presented() const { return presented_; }

  bool Closed() const override { return role_->Closed(); }
  bool ShowsFrameCopies() const override { return showing_ == Showing::kFrameCopies; }
  bool TakeBufferRelease(int copy) override;
  void ShowFrameCopy(int copy, std::span<const Rect> damage) override;

  void Free(FreeMode mode);

 private:
  enum class Showing { kNothing, kFrameCopies, kStill };
  struct BufferSlot {
    wl_buffer* buffer = nullptr;
    bool released = false;
  };

  void Attach(wl_buffer* buffer, int buffer_scale);
  void Commit(std::span<const Rect> damage);

  wl_surface* surface_ = nullptr;
  std::unique_ptr<CoverRole> role_;
  Showing showing_ = Showing::kNothing;
  int buffer_scale_ = 1;
  int attached_scale_ = 1;  // the surface's buffer scale now (1 until set)
  LogicalSize frame_size_;  // what the frame buffers show
  BufferSlot frame_buffers_[FrameCopies::kCopies];
  LogicalSize still_size_;
  std::unique_ptr<ShmMemory> still_memory_;
  wl_buffer* still_buffer_ = nullptr;
  wl_callback* frame_callback_ = nullptr;
  bool presented_ = false;
};

}  // namespace ostrel
