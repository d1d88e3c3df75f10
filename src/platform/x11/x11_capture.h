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

// Copies the whole root window, every monitor, into `frame`, which has the
// screen's size. With `shm` (the segment `frame` lives in) the server writes the
// pixels straight into it; without it, or when the server refuses, XGetImage
// reads the screen in bands of rows, so that no second copy of the screen is
// ever held. Throws PlatformError when it fails.
void CaptureRoot(Display* display, int screen, ShmImage* shm, Image& frame);

}  // namespace ostrel
