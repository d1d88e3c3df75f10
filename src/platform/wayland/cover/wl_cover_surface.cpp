#include "platform/wayland/cover/wl_cover_surface.h"

#include <wayland-client.h>

#include <climits>
#include <utility>

#include "platform/platform_error.h"
#include "platform/wayland/wl_connection.h"
#include "platform/wayland/wl_shm_memory.h"

namespace ostrel {

struct CoverSurfaceListeners {
  // A buffer's release sets its slot's flag.
  static constexpr wl_buffer_listener kBuffer = {
      .release = [](void* data, wl_buffer*) { *static_cast<bool*>(data) = true; },
  };
};

CoverSurface::CoverSurface(wl_compositor* compositor, const OutputPlace* input_place,
                           const RoleMaker& make_role) {
  surface_ = wl_compositor_create_surface(compositor);
  // The surface gets no listener of ours: its user data is free for the seat.
  wl_surface_set_user_data(surface_, const_cast<OutputPlace*>(input_place));
  role_ = make_role(surface_);
  wl_surface_commit(surface_);
}

CoverSurface::~CoverSurface() { Free(FreeMode::kWithRequests); }

void CoverSurface::SetFrameBuffers(wl_buffer* copy0, wl_buffer* copy1, int buffer_scale,
                                   LogicalSize shown) {
  wl_buffer* buffers[FrameCopies::kCopies] = {copy0, copy1};
  for (int i = 0; i < FrameCopies::kCopies; ++i) {
    BufferSlot& slot = frame_buffers_[i];
    slot.buffer = buffers[i];
    wl_buffer_add_listener(slot.buffer, &CoverSurfaceListeners::kBuffer, &slot.released);
  }
  buffer_scale_ = buffer_scale;
  frame_size_ = shown;
  showing_ = Showing::kFrameCopies;
}

bool CoverSurface::WantsStill() const {
  if (surface_ == nullptr || role_->Closed() || !role_->Configured()) return false;
  const LogicalSize asked = role_->ConfiguredSize();
  // A zero size leaves it to us: whatever is shown stays.
  if (asked.width <= 0 || asked.height <= 0) return showing_ == Showing::kNothing;
  switch (showing_) {
    case Showing::kNothing:
      return true;
    case Showing::kFrameCopies:
      return asked != frame_size_;
    case Showing::kStill:
      return asked != still_size_;
  }
  return false;
}

void CoverSurface::ShowStill(wl_shm* shm, int buffer_scale,
                             const std::function<void(Image&)>& paint, bool until_presented) {
  LogicalSize size = role_->ConfiguredSize();
  if (size.width <= 0 || size.height <= 0) size = frame_size_;
  if (size.width <= 0 || size.height <= 0) size = {1, 1};
  const long long width = static_cast<long long>(size.width) * buffer_scale;
  const long long height = static_cast<long long>(size.height) * buffer_scale;
  if (width > INT_MAX / 4 / height) {
    throw PlatformError("an output asks for a picture too large for shared memory");
  }
  auto memory = std::make_unique<ShmMemory>(shm, static_cast<std::size_t>(width * height * 4));
  Image picture(memory->Pixels(0), static_cast<int>(width), static_cast<int>(height),
                static_cast<int>(width), nullptr);
  paint(picture);  // the memory starts zeroed: black
  wl_buffer* buffer = memory->CreateBuffer(0, static_cast<int>(width), static_cast<int>(height),
                                           static_cast<int>(width * 4), WL_SHM_FORMAT_XRGB8888);
  memory->FreePool(FreeMode::kWithRequests);
  Attach(buffer, buffer_scale);
  if (until_presented) {
    FreeProxy(frame_callback_, &wl_callback_destroy, FreeMode::kWithRequests);
    frame_callback_ = wl_surface_frame(surface_);
    SetWhenDone(frame_callback_, &presented_);
  }
  const Rect whole{0, 0, static_cast<int>(width), static_cast<int>(height)};
  Commit({&whole, 1});
  // The picture shown before is no longer read once this commit applies; its
  // storage is not used again, so it may go now.
  FreeProxy(still_buffer_, &wl_buffer_destroy, FreeMode::kWithRequests);
  still_buffer_ = buffer;
  still_memory_ = std::move(memory);
  still_size_ = size;
  showing_ = Showing::kStill;
}

bool CoverSurface::TakeBufferRelease(int copy) {
  return std::exchange(frame_buffers_[copy].released, false);
}

void CoverSurface::ShowFrameCopy(int copy, std::span<const Rect> damage) {
  if (surface_ == nullptr || showing_ != Showing::kFrameCopies || role_->Closed()) return;
  Attach(frame_buffers_[copy].buffer, buffer_scale_);
  Commit(damage);
  // A still picture shown first is not read once this commit applies.
  FreeProxy(still_buffer_, &wl_buffer_destroy, FreeMode::kWithRequests);
  still_memory_.reset();
}

void CoverSurface::Attach(wl_buffer* buffer, int buffer_scale) {
  role_->AckConfigure();
  // Frame pixels are shown one to one on an output of the frame's scale; on
  // one of a lower scale the compositor shrinks them by a whole factor. Set
  // only when it changes: a compositor may take a scale sent with a commit
  // as a change of the whole surface, to be drawn again (wlroots does).
  if (buffer_scale != attached_scale_ &&
      wl_surface_get_version(surface_) >= WL_SURFACE_SET_BUFFER_SCALE_SINCE_VERSION) {
    wl_surface_set_buffer_scale(surface_, buffer_scale);
    attached_scale_ = buffer_scale;
  }
  wl_surface_attach(surface_, buffer, 0, 0);
}

void CoverSurface::Commit(std::span<const Rect> damage) {
  // Damage in buffer pixels needs wl_surface 4; before it, the whole surface.
  if (wl_surface_get_version(surface_) >= WL_SURFACE_DAMAGE_BUFFER_SINCE_VERSION) {
    for (const Rect& rect : damage) {
      wl_surface_damage_buffer(surface_, rect.x, rect.y, rect.width, rect.height);
    }
  } else {
    wl_surface_damage(surface_, 0, 0, INT32_MAX, INT32_MAX);
  }
  wl_surface_commit(surface_);
}

void CoverSurface::Free(FreeMode mode) {
  if (role_) role_->Free(mode);
  FreeProxy(surface_, &wl_surface_destroy, mode);
  for (BufferSlot& slot : frame_buffers_) FreeProxy(slot.buffer, &wl_buffer_destroy, mode);
  FreeProxy(still_buffer_, &wl_buffer_destroy, mode);
  FreeProxy(frame_callback_, &wl_callback_destroy, FreeMode::kSilently);
  still_memory_.reset();
}

}  // namespace ostrel
