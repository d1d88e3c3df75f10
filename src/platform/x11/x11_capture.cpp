#include "platform/x11/x11_capture.h"

#include <X11/Xutil.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>

#include <bit>
#include <cstring>

#include "platform/platform.h"
#include "platform/x11/x11_errors.h"

namespace ostrel {
namespace {

#ifdef MADV_POPULATE_WRITE
constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
constexpr int kPopulateWrite = 23;  // Linux 5.14; older kernels refuse it harmlessly
#endif

}  // namespace

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
    attached = XShmAttach(display, &info) != 0;
    XSync(display, False);
    attached = attached && !trap.Caught();
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

void ShmImage::Populate() {
  // Allocating every page in one call costs far less than a screen's worth of
  // page faults taken one by one when the pixels are first written.
  madvise(
      info_.shmaddr,
      static_cast<std::size_t>(image_->bytes_per_line) * static_cast<std::size_t>(image_->height),
      kPopulateWrite);
}

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

Picture CaptureWithGetImage(Display* display, Window root, int width, int height) {
  XImage* image = XGetImage(display, root, 0, 0, static_cast<unsigned>(width),
                            static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (image == nullptr) throw PlatformError("cannot read the screen");
  if (image->bits_per_pixel != 32) {
    XDestroyImage(image);
    throw PlatformError("the screen is not 32 bits per pixel");
  }
  auto copy = std::make_shared<Image>(width, height);
  for (int y = 0; y < height; ++y) {
    std::memcpy(copy->Row(y), image->data + static_cast<std::ptrdiff_t>(y) * image->bytes_per_line,
                static_cast<std::size_t>(width) * 4);
  }
  XDestroyImage(image);
  return copy;
}

}  // namespace

Capture CaptureRoot(Display* display, int screen, bool use_shm) {
  const Window root = RootWindow(display, screen);
  const int width = DisplayWidth(display, screen);
  const int height = DisplayHeight(display, screen);
  if (use_shm) {
    std::shared_ptr<ShmImage> shm = ShmImage::Create(display, DefaultVisual(display, screen),
                                                     DefaultDepth(display, screen), width, height);
    if (shm) {
      // A refusal falls back to XGetImage instead of failing the run.
      ScopedErrorTrap trap(display);
      const bool copied = XShmGetImage(display, root, shm->image(), 0, 0, AllPlanes) != 0;
      if (copied && !trap.Caught()) {
        return {std::make_shared<const Image>(ShmImage::View(shm)), shm};
      }
    }
  }
  return {CaptureWithGetImage(display, root, width, height), nullptr};
}

}  // namespace ostrel
