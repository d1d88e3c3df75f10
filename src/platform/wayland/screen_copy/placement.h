#pragma once

// Putting an output's screen copy into the frame: the compositor's pixel
// order, rows possibly bottom up, at the output's place and scaled up to the
// frame's scale. Plain functions, tested on their own.

#include <cstdint>
#include <optional>

#include "platform/image.h"
#include "platform/rect.h"

namespace ostrel {

// How a screen copy's pixels differ from the frame's 0x00RRGGBB.
struct ScreenCopyLayout {
  bool swap_red_blue = false;  // 0x00BBGGRR (wl_shm XBGR8888 / ABGR8888)
  bool y_invert = false;       // the last row first
  // The output's wl_output.transform (0 to 7): the copy is in the output's
  // own orientation and is turned (and mirrored) to the layout's.
  int transform = 0;
};

// Whether a wl_shm format holds 32-bit pixels the frame can take, and in
// which order: false for XRGB8888 and ARGB8888, true for XBGR8888 and
// ABGR8888; nothing for any other format.
std::optional<bool> SwapsRedBlue(std::uint32_t shm_format);

// Copies `copy` into `place` of `frame`, turned as `layout.transform` says
// and scaled to fill it: frame pixel x of the place shows the turned copy's
// pixel x * its width / place width (and so down). An output of a lower scale
// than the frame's has each pixel repeated F/s times; one at a fractional
// scale, whose copy has fewer pixels than its integer scale says, still fills
// its place. What falls outside the frame is left out; an empty copy leaves
// the place black.
void PlaceScreenCopy(const Image& copy, ScreenCopyLayout layout, Image& frame, Rect place);

// Brings a copy made straight into the frame's memory to the frame's order.
void NormaliseInPlace(Image& picture, ScreenCopyLayout layout);

}  // namespace ostrel
