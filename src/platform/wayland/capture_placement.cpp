#include "platform/wayland/capture_placement.h"

#include <algorithm>

#include "platform/wayland/frame_copies.h"

namespace ostrel {
namespace {

// wl_shm format codes (fourcc, except the first two).
constexpr std::uint32_t kArgb8888 = 0;
constexpr std::uint32_t kXrgb8888 = 1;
constexpr std::uint32_t kAbgr8888 = 0x34324241;  // 'AB24'
constexpr std::uint32_t kXbgr8888 = 0x34324258;  // 'XB24'

constexpr std::uint32_t SwapRedBlue(std::uint32_t pixel) {
  return (pixel & 0xFF00FF00U) | ((pixel >> 16) & 0xFFU) | ((pixel & 0xFFU) << 16);
}

}  // namespace

std::optional<bool> SwapsRedBlue(std::uint32_t shm_format) {
  switch (shm_format) {
    case kArgb8888:
    case kXrgb8888:
      return false;
    case kAbgr8888:
    case kXbgr8888:
      return true;
    default:
      return std::nullopt;
  }
}

void PlaceCapture(const Image& capture, CaptureLayout layout, Image& frame, Rect place) {
  const Rect target = Intersection(place, Rect{0, 0, frame.Width(), frame.Height()});
  if (target.width <= 0 || target.height <= 0) return;
  if (capture.Empty()) {
    for (int y = target.y; y < target.y + target.height; ++y) {
      std::fill_n(frame.Row(y) + target.x, target.width, 0U);
    }
    return;
  }
  // The capture's pixel under an offset into the place, for each axis.
  const auto source_of = [](int offset, int capture_size, int place_size) {
    return static_cast<int>(std::int64_t{offset} * capture_size / place_size);
  };
  for (int y = target.y; y < target.y + target.height; ++y) {
    std::uint32_t* row = frame.Row(y) + target.x;
    const int source_y = source_of(y - place.y, capture.Height(), place.height);
    const std::uint32_t* source =
        capture.Row(layout.y_invert ? capture.Height() - 1 - source_y : source_y);
    for (int x = 0; x < target.width; ++x) {
      const std::uint32_t pixel = source[source_of(target.x - place.x + x, capture.Width(),
                                                   place.width)];
      row[x] = layout.swap_red_blue ? SwapRedBlue(pixel) : pixel;
    }
  }
}

void NormaliseInPlace(Image& picture, CaptureLayout layout) {
  const int width = picture.Width();
  if (layout.y_invert) {
    for (int top = 0, bottom = picture.Height() - 1; top < bottom; ++top, --bottom) {
      std::swap_ranges(picture.Row(top), picture.Row(top) + width, picture.Row(bottom));
    }
  }
  if (layout.swap_red_blue) {
    for (int y = 0; y < picture.Height(); ++y) {
      std::uint32_t* row = picture.Row(y);
      for (int x = 0; x < width; ++x) row[x] = SwapRedBlue(row[x]);
    }
  }
}

}  // namespace ostrel
