#include "platform/wayland/frame_layout.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "platform/platform_error.h"

namespace ostrel {
namespace {

// wl_shm pools are sized with a signed 32-bit integer and hold two frames.
constexpr std::int64_t kLargestFrameBytes = std::numeric_limits<std::int32_t>::max() / 2;

bool Counts(const OutputPlace& output) {
  return output.width > 0 && output.height > 0 && output.scale >= 1;
}

}  // namespace

OutputPlace PlaceOf(const OutputReport& report) {
  OutputPlace place;
  place.scale = std::max(report.scale, 1);
  const bool turned = (report.transform & 1) != 0;
  const int physical_width = turned ? report.mode_height : report.mode_width;
  const int physical_height = turned ? report.mode_width : report.mode_height;
  place.x = report.has_logical_position ? report.logical_x : report.geometry_x;
  place.y = report.has_logical_position ? report.logical_y : report.geometry_y;
  place.width = report.has_logical_size ? report.logical_width : physical_width / place.scale;
  place.height = report.has_logical_size ? report.logical_height : physical_height / place.scale;
  // A compositor that lays its outputs out in pixels (mutter's default
  // layout mode) gives a scaled output a "logical" size equal to its mode:
  // in logical units it is that divided by the scale, and so is its place.
  if (report.has_logical_size && place.scale > 1 && place.width == physical_width &&
      place.height == physical_height) {
    place.x /= place.scale;
    place.y /= place.scale;
    place.width /= place.scale;
    place.height /= place.scale;
  }
  return place;
}

Rect FrameLayout::PixelRect(const OutputPlace& output) const {
  return {(output.x - origin_x) * scale, (output.y - origin_y) * scale, output.width * scale,
          output.height * scale};
}

float FrameLayout::TwipsX(const OutputPlace& output, double surface_x) const {
  return static_cast<float>((output.x - origin_x + surface_x) * scale * TwipsPerPixel());
}

float FrameLayout::TwipsY(const OutputPlace& output, double surface_y) const {
  return static_cast<float>((output.y - origin_y + surface_y) * scale * TwipsPerPixel());
}

FrameLayout LayoutOf(std::span<const OutputPlace> outputs) {
  std::int64_t left = std::numeric_limits<std::int64_t>::max();
  std::int64_t top = left;
  std::int64_t right = std::numeric_limits<std::int64_t>::min();
  std::int64_t bottom = right;
  int scale = 0;
  for (const OutputPlace& output : outputs) {
    if (!Counts(output)) continue;
    left = std::min<std::int64_t>(left, output.x);
    top = std::min<std::int64_t>(top, output.y);
    right = std::max<std::int64_t>(right, std::int64_t{output.x} + output.width);
    bottom = std::max<std::int64_t>(bottom, std::int64_t{output.y} + output.height);
    scale = std::max(scale, output.scale);
  }
  if (scale == 0) throw PlatformError("the compositor reports no output to cover");
  const std::int64_t width = (right - left) * scale;
  const std::int64_t height = (bottom - top) * scale;
  if (width * height * 4 > kLargestFrameBytes) {
    throw PlatformError("the outputs together are too large for one picture in shared memory");
  }
  FrameLayout layout;
  layout.origin_x = static_cast<int>(left);
  layout.origin_y = static_cast<int>(top);
  layout.scale = scale;
  layout.width = static_cast<int>(width);
  layout.height = static_cast<int>(height);
  return layout;
}

}  // namespace ostrel
