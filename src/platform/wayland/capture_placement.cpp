#include "platform/wayland/capture_placement.h"

#include <algorithm>
#include <stdexcept>

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

void PlaceCapture(const Image& capture, CaptureLayout layout, int capture_scale, int frame_scale,
                  Image& frame, Rect place) {
  if (capture_scale < 1 || frame_scale < 1) throw std::invalid_argument("scales start at 1");
  const auto source_of = [capture_scale, frame_scale](int offset) {
    return static_cast<int>(std::int64_t{offset} * capture_scale / frame_scale);
  };
  const Rect target = Intersection(place, Rect{0, 0, frame.Width(), frame.Height()});
  for (int y = target.y; y < target.y + target.height; ++y) {
    std::uint32_t* row = frame.Row(y) + target.x;
    const int source_y = source_of(y - place.y);
    if (source_y >= capture.Height()) {
      std::fill_n(row, target.width, 0U);
      continue;
    }
    const std::uint32_t* source =
        capture.Row(layout.y_invert ? capture.Height() - 1 - source_y : source_y);
    for (int x = 0; x < target.width; ++x) {
      const int source_x = source_of(target.x - place.x + x);
      if (source_x >= capture.Width()) {
        std::fill(row + x, row + target.width, 0U);
        break;
      }
      const std::uint32_t pixel = source[source_x];
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
