#pragma once

// Pixels shared with the X server, and copies of the root window.

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

#include <memory>

#include "platform/image.h"

namespace ostrel {

// An XImage whose pixels live in a System V shared-memory segment attached to
// the server, so that the server reads and writes them without copying them
// through the socket. 32 bits per pixel.
class ShmImage {
 public:
  // Null when the server or the segment cannot do it (a remote display, say).
  static std::unique_ptr<ShmImage> Create(Display* display, Visual* visual, int depth, int width,
                                          int height);
  ~ShmImage();
  ShmImage(const ShmImage&) = delete;
  ShmImage& operator=(const ShmImage&) = delete;

  XImage* image() { return image_; }
  // Backs every page with memory now rather than on first write.
  void Populate();
  // The pixels as an Image; `owner` keeps this segment alive as long as the view.
  static Image View(const std::shared_ptr<ShmImage>& owner);

 private:
  explicit ShmImage(Display* display);
  Display* display_;
  XImage* image_ = nullptr;
  XShmSegmentInfo info_{};
};

// Whether the server offers MIT-SHM with shared pixmaps not required.
bool ServerHasShm(Display* display);

// The pixel format of a 32-bit TrueColor visual; throws PlatformError for any
// other kind of visual.
PixelFormat FormatOfVisual(const Visual* visual, int depth);

// A copy of the screen, and the shared memory it lives in when it does.
struct Capture {
  Picture picture;
  std::shared_ptr<ShmImage> shm;
};

// Copies the whole root window, every monitor. Uses shared memory when the
// server has it, XGetImage otherwise. Throws PlatformError when it fails.
Capture CaptureRoot(Display* display, int screen, bool use_shm);

}  // namespace ostrel
