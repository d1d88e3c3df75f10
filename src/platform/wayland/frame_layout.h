#pragma once

// Where each output's picture sits in the one frame that covers them all.
// Plain arithmetic on the outputs' logical rectangles and scales, without
// Wayland types, so that it is tested on its own.

#include <span>

#include "platform/rect.h"

namespace ostrel {

// An output as the compositor places it: its logical rectangle in the layout
// and its integer scale (physical pixels per logical unit).
struct OutputPlace {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  int scale = 1;
};

// What a compositor reports about an output: wl_output's position, transform,
// current mode and scale, and xdg_output's logical rectangle when it sent one
// (wlroots sends 0,0 as wl_output's position; xdg_output has the real one).
struct OutputReport {
  int geometry_x = 0;
  int geometry_y = 0;
  int transform = 0;  // wl_output.transform: odd values turn by 90 or 270 degrees
  int mode_width = 0;
  int mode_height = 0;
  int scale = 1;
  bool has_logical_position = false;
  bool has_logical_size = false;
  int logical_x = 0;
  int logical_y = 0;
  int logical_width = 0;
  int logical_height = 0;

  // A wl_output.mode event. A compositor may list every mode the output
  // has, the preferred one among them: only the current one is its size.
  void NoteMode(bool current, int width, int height) {
    if (!current) return;
    mode_width = width;
    mode_height = height;
  }
};

// The output's logical rectangle and scale: xdg_output's rectangle where it
// was sent, else wl_output's position and its mode (turned as the transform
// says) divided by the scale. A scaled output whose xdg_output size is its
// mode's is laid out in pixels (mutter's physical layout mode): its rectangle
// is divided by its scale.
OutputPlace PlaceOf(const OutputReport& report);

// The frame: the bounding box of the outputs' logical rectangles, at the
// largest output scale, so that the densest output shows its part pixel for
// pixel and circles keep their physical size everywhere.
struct FrameLayout {
  int origin_x = 0;  // logical position of the frame's top-left corner
  int origin_y = 0;
  int scale = 1;  // frame pixels per logical unit
  int width = 0;  // in frame pixels
  int height = 0;

  // 15 twips per pixel at scale 1, as at 96 DPI; a scale-2 pixel is half as big.
  double TwipsPerPixel() const { return 1440.0 / (96.0 * scale); }
  // The output's rectangle in frame pixels.
  Rect PixelRect(const OutputPlace& output) const;
  // A pointer position on an output's surface (logical, surface-local), in
  // twips from the frame's top-left corner.
  float TwipsX(const OutputPlace& output, double surface_x) const;
  float TwipsY(const OutputPlace& output, double surface_y) const;
};

// The layout of `outputs`. Outputs with an empty rectangle or a scale below 1
// take no part. Throws PlatformError when none is left or when the frame would
// not fit in memory addressable by one shared-memory pool.
FrameLayout LayoutOf(std::span<const OutputPlace> outputs);

}  // namespace ostrel
