// The one frame: made in shared memory (or plain memory without MIT-SHM),
// filled with the screen or a picture, lent to the clipboard, and presented:
// the rectangles a tick changed, and the exposed parts in bands.

#include <X11/Xutil.h>

#include <algorithm>
#include <functional>

#include "platform/x11/x11_capture.h"
#include "platform/x11/x11_clipboard.h"
#include "platform/x11/x11_errors.h"
#include "platform/x11/x11_platform.h"

namespace ostrel {
namespace {

// The most of the frame sent in one request when the window is painted again:
// the server handles no input while it copies one request.
constexpr std::size_t kPaintBandBytes = std::size_t{4} << 20;

}  // namespace

void X11Platform::CreateFrame() {
  // In shared memory when the server has it, so that the screen is copied
  // straight into it and presenting a tick copies nothing through the socket.
  // Its pixels are left unset: the screen copy fills every one.
  Image frame;
  if (has_shm_) {
    frame_shm_ = ShmImage::Create(display_, DefaultVisual(display_, screen_),
                                  DefaultDepth(display_, screen_), width_, height_);
  }
  if (frame_shm_) {
    frame = ShmImage::View(frame_shm_);
    frame_owner_ = frame_shm_;
  } else {
    const auto count = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    std::shared_ptr<std::uint32_t[]> pixels(new std::uint32_t[count]);
    frame = Image(pixels.get(), width_, height_, width_, pixels);
    frame_owner_ = std::move(pixels);
    frame_image_ =
        XCreateImage(display_, DefaultVisual(display_, screen_),
                     static_cast<unsigned>(DefaultDepth(display_, screen_)), ZPixmap, 0,
                     reinterpret_cast<char*>(frame.Row(0)), static_cast<unsigned>(width_),
                     static_cast<unsigned>(height_), 32, static_cast<int>(frame.Stride() * 4));
    if (frame_image_ == nullptr) throw PlatformError("cannot describe the window's picture");
  }
  surface_ = std::make_unique<SoftwareSurface>(std::move(frame), twips_per_pixel_, format_);
}

void X11Platform::KeybdEvent(std::uint8_t virtual_key, std::uint8_t /*scan_code*/,
                             std::uint32_t flags, std::uintptr_t /*extra_info*/) {
  // The Print Screen key-down copies the whole screen to the clipboard. No other
  // key is ever synthesised.
  if (!IsSnapshotKeyDown(virtual_key, flags)) return;
  if (!surface_) throw PlatformError("the screen is copied into the window, which does not exist");
  CaptureRoot(display_, screen_, frame_shm_.get(), surface_->Frame());
  FrameIsBackground();
  // The clipboard's picture is the frame itself, later drawn on: its PNG is
  // encoded, when someone asks, from the frame with the circles still shown
  // erased for the time of the encoding (and drawn again after).
  clipboard_->Own(FramePicture(), [this](const std::function<void(const Image&)>& use) {
    surface_->WithBackground(use);
  });
  ThrowIfXErrorPending();
}

Picture X11Platform::CaptureScreen() {
  if (!surface_) throw PlatformError("the screen is copied into the window, which does not exist");
  CaptureRoot(display_, screen_, frame_shm_.get(), surface_->Frame());
  FrameIsBackground();
  return FramePicture();
}

void X11Platform::SetPicture(Picture picture) {
  // The frame's own picture (the screen copied into it) is not copied again.
  if (picture) {
    surface_->SetBackground(*picture);
  } else {
    surface_->Frame().Fill(0);
    FrameIsBackground();
  }
  // Not shown yet, the window presents the whole frame when it is exposed.
  surface_->ClearDirtyRects();
  if (shown_) exposed_.push_back({0, 0, width_, height_});
}

Picture X11Platform::FramePicture() const {
  Image& frame = surface_->Frame();
  return std::make_shared<const Image>(frame.Row(0), frame.Width(), frame.Height(), frame.Stride(),
                                       frame_owner_);
}

void X11Platform::FrameIsBackground() {
  surface_->SetBackground(surface_->Frame());
  surface_->ClearDirtyRects();
}

void X11Platform::Put(int x, int y, int width, int height) {
  if (frame_shm_) {
    // No completion event is asked for: waiting for one would cost a wake-up
    // a tick. The server copies the rectangles long before the next tick draws,
    // and should it ever lag, every pixel a tick changes is in that tick's
    // rectangles and is sent again, so the window always ends up right.
    XShmPutImage(display_, window_, gc_, frame_shm_->image(), x, y, x, y,
                 static_cast<unsigned>(width), static_cast<unsigned>(height), False);
  } else {
    XPutImage(display_, window_, gc_, frame_image_, x, y, x, y, static_cast<unsigned>(width),
              static_cast<unsigned>(height));
  }
}

void X11Platform::PaintExposedBand() {
  // The server copies one request without handling input in between: a whole
  // huge screen at once (a gigabyte at 16384x16384) would hold the user's
  // first move for seconds. One band of rows, then the loop looks at input
  // again; the sync makes this band done before the next one is sent.
  Rect& rect = exposed_.back();
  const auto row_bytes = static_cast<std::size_t>(std::max(rect.width, 1)) * 4;
  const int rows = std::clamp(static_cast<int>(kPaintBandBytes / row_bytes), 1, rect.height);
  if (rect.width > 0 && rows > 0) Put(rect.x, rect.y, rect.width, rows);
  rect.y += rows;
  rect.height -= rows;
  if (rect.height <= 0 || rect.width <= 0) exposed_.pop_back();
  XSync(display_, False);
}

void X11Platform::PresentDirty() {
  if (!shown_) return;  // the Expose after mapping shows everything
  for (const Rect& rect : surface_->DirtyRects()) Put(rect.x, rect.y, rect.width, rect.height);
  surface_->ClearDirtyRects();
  XFlush(display_);
}

}  // namespace ostrel
