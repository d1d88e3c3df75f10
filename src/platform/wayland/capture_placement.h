#pragma once

// Putting an output's screen copy into the frame: the compositor's pixel
// order, rows possibly bottom up, at the output's place and scaled up to the
// frame's scale. Plain functions, tested on their own.

#include <cstdint>
#include <optional>

#include "platform/image.h"
#include "platform/software_surface.h"

namespace ostrel {

// How a screen copy's pixels differ from the frame's 0x00RRGGBB.
struct CaptureLayout {
  bool swap_red_blue = false;  // 0x00BBGGRR (wl_shm XBGR8888 / ABGR8888)
  bool y_invert = false;       // the last row first
};

// Whether a wl_shm format holds 32-bit pixels the frame can take, and in
// which order: false for XRGB8888 and ARGB8888, true for XBGR8888 and
// ABGR8888; nothing for any other format.
std::optional<bool> SwapsRedBlue(std::uint32_t shm_format);

// Copies `capture`, taken at `capture_scale`, into `place` of `frame`, which
// is at `frame_scale`: frame pixel x shows capture pixel x * capture_scale /
// frame_scale (an output of a lower scale than the frame's has each pixel
// repeated). What the capture does not cover of `place` becomes black; what
// falls outside the frame is left out.
void PlaceCapture(const Image& capture, CaptureLayout layout, int capture_scale, int frame_scale,
                  Image& frame, Rect place);

// Brings a capture made straight into the frame's memory to the frame's order.
void NormaliseInPlace(Image& picture, CaptureLayout layout);

}  // namespace ostrel
