#include "platform/x11/x11_capture.h"

#include <X11/Xutil.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "platform/platform.h"
#include "platform/x11/x11_errors.h"

namespace ostrel {
std::unique_ptr<ShmImage> ShmImage::Create(Display* display, Visual* visual, int depth, int width,
                                           int height) {
  // The XImage keeps a pointer to the segment's description, so the
  // description lives in the object that owns the image.
  std::unique_ptr<ShmImage> shm(new ShmImage(display));
  XShmSegmentInfo& info = shm->info_;
  XImage* image =
      XShmCreateImage(display, visual, static_cast<unsigned>(depth), ZPixmap, nullptr, &info,
                      static_cast<unsigned>(width), static_cast<unsigned>(height));
  if (image == nullptr) return nullptr;
  if (image->bits_per_pixel != 32) {
    XDestroyImage(image);
    return nullptr;
  }
  const auto bytes =
      static_cast<std::size_t>(image->bytes_per_line) * static_cast<std::size_t>(image->height);
  info.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (info.shmid < 0) {
    XDestroyImage(image);
    return nullptr;
  }
  void* memory = shmat(info.shmid, nullptr, 0);
  // Marked for removal at once: the segment goes away by itself when both sides
  // have detached, even if the program dies first. Linux still lets the server
  // attach it.
  shmctl(info.shmid, IPC_RMID, nullptr);
  if (memory == reinterpret_cast<void*>(-1)) {
    XDestroyImage(image);
    return nullptr;
  }
  info.shmaddr = image->data = static_cast<char*>(memory);
  info.readOnly = False;

  bool attached = false;
  {
    ScopedErrorTrap trap(display);
    const bool sent = XShmAttach(display, &info) != 0;
    attached = !trap.Failed() && sent;
  }
  if (!attached) {
    shmdt(memory);
    image->data = nullptr;
    XDestroyImage(image);
    return nullptr;
  }
  shm->image_ = image;
  return shm;
}

ShmImage::ShmImage(Display* display) : display_(display) {}

ShmImage::~ShmImage() {
  if (image_ == nullptr) return;
  XShmDetach(display_, &info_);
  // The server must let go before the memory does.
  XSync(display_, False);
  shmdt(info_.shmaddr);
  image_->data = nullptr;
  XDestroyImage(image_);
}

Image ShmImage::View(const std::shared_ptr<ShmImage>& owner) {
  XImage* image = owner->image_;
  return Image(reinterpret_cast<std::uint32_t*>(image->data), image->width, image->height,
               image->bytes_per_line / 4, owner);
}

bool ServerHasShm(Display* display) {
  // Asking for the version of a missing extension makes Xlib print a warning;
  // asking whether it is there prints nothing.
  if (XShmQueryExtension(display) == False) return false;
  int major = 0;
  int minor = 0;
  Bool pixmaps = False;
  return XShmQueryVersion(display, &major, &minor, &pixmaps) != 0;
}

PixelFormat FormatOfVisual(const Visual* visual, int depth) {
  const auto shift_of = [](unsigned long mask) { return std::countr_zero(mask); };
  const bool eight_bit_channels = std::popcount(visual->red_mask) == 8 &&
                                  std::popcount(visual->green_mask) == 8 &&
                                  std::popcount(visual->blue_mask) == 8;
  if (visual->c_class != TrueColor || (depth != 24 && depth != 32) || !eight_bit_channels) {
    throw PlatformError("the display's default visual is not 24-bit TrueColor");
  }
  return PixelFormat{shift_of(visual->red_mask), shift_of(visual->green_mask),
                     shift_of(visual->blue_mask)};
}

namespace {

// The most bytes one XGetImage band asks for: the reply is the only copy of
// screen pixels besides the frame.
constexpr std::size_t kBandBytes = std::size_t{1} << 20;

void CaptureWithGetImage(Display* display, Window root, Image& frame) {
  const int width = frame.Width();
  const int band =
      std::max<int>(1, static_cast<int>(kBandBytes / (static_cast<std::size_t>(width) * 4)));
  for (int top = 0; top < frame.Height(); top += band) {
    const int rows = std::min(band, frame.Height() - top);
    XImage* image = XGetImage(display, root, 0, top, static_cast<unsigned>(width),
                              static_cast<unsigned>(rows), AllPlanes, ZPixmap);
    if (image == nullptr) throw PlatformError("cannot read the screen");
    if (image->bits_per_pixel != 32) {
      XDestroyImage(image);
      throw PlatformError("the screen is not 32 bits per pixel");
    }
    for (int y = 0; y < rows; ++y) {
      std::memcpy(frame.Row(top + y),
                  image->data + static_cast<std::ptrdiff_t>(y) * image->bytes_per_line,
                  static_cast<std::size_t>(width) * 4);
    }
    XDestroyImage(image);
  }
}

}  // namespace

void CaptureRoot(Display* display, int screen, ShmImage* shm, Image& frame) {
  const Window root = RootWindow(display, screen);
  if (frame.Width() != DisplayWidth(display, screen) ||
      frame.Height() != DisplayHeight(display, screen)) {
    throw PlatformError("the screen changed size");
  }
  if (shm != nullptr) {
    // A refusal falls back to XGetImage instead of failing the run.
    ScopedErrorTrap trap(display);
    const bool copied = XShmGetImage(display, root, shm->image(), 0, 0, AllPlanes) != 0;
    if (!trap.Failed() && copied) return;
  }
  CaptureWithGetImage(display, root, frame);
}

}  // namespace ostrel
