#include "platform/wayland/screen_copy/placement.h"

#include <algorithm>

#include "platform/rect.h"

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

void PlaceScreenCopy(const Image& copy, ScreenCopyLayout layout, Image& frame, Rect place) {
  const Rect target = Intersection(place, Rect{0, 0, frame.Width(), frame.Height()});
  if (target.width <= 0 || target.height <= 0) return;
  if (copy.Empty()) {
    for (int y = target.y; y < target.y + target.height; ++y) {
      std::fill_n(frame.Row(y) + target.x, target.width, 0U);
    }
    return;
  }
  const int width = copy.Width();
  const int height = copy.Height();
  const int turn = layout.transform & 3;  // quarter turns
  const bool mirrored = (layout.transform & 4) != 0;
  // The copy as the layout shows it: sides swapped by a quarter turn.
  const int shown_width = turn % 2 == 0 ? width : height;
  const int shown_height = turn % 2 == 0 ? height : width;
  // The pixel of the shown copy under an offset into the place, per axis.
  const auto shown_of = [](int offset, int shown_size, int place_size) {
    return static_cast<int>(std::int64_t{offset} * shown_size / place_size);
  };
  for (int y = target.y; y < target.y + target.height; ++y) {
    std::uint32_t* row = frame.Row(y) + target.x;
    const int v = shown_of(y - place.y, shown_height, place.height);
    if (layout.transform == 0) {
      // Upright, as nearly every output is: along one row of the copy.
      const std::uint32_t* source = copy.Row(layout.y_invert ? height - 1 - v : v);
      for (int x = 0; x < target.width; ++x) {
        const std::uint32_t pixel = source[shown_of(target.x - place.x + x, width, place.width)];
        row[x] = layout.swap_red_blue ? SwapRedBlue(pixel) : pixel;
      }
      continue;
    }
    for (int x = 0; x < target.width; ++x) {
      int u = shown_of(target.x - place.x + x, shown_width, place.width);
      if (mirrored) u = shown_width - 1 - u;
      // Where the shown pixel (u, v) lies in the copy.
      int source_x = u;
      int source_y = v;
      switch (turn) {
        case 1:
          source_x = v;
          source_y = height - 1 - u;
          break;
        case 2:
          source_x = width - 1 - u;
          source_y = height - 1 - v;
          break;
        case 3:
          source_x = width - 1 - v;
          source_y = u;
          break;
        default:
          break;
      }
      if (layout.y_invert) source_y = height - 1 - source_y;
      const std::uint32_t pixel = copy.At(source_x, source_y);
      row[x] = layout.swap_red_blue ? SwapRedBlue(pixel) : pixel;
    }
  }
}

void NormaliseInPlace(Image& picture, ScreenCopyLayout layout) {
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
