#pragma once

#include <cstdint>

namespace ostrel {

// A colour as the drawing calls take it: 0x00BBGGRR, red in the lowest byte.
using ColourValue = std::uint32_t;

// The drawing operations the tick needs from the window. Positions and radii are
// in twips with the origin at the top-left corner of the screen; only the pen
// width is in pixels.
class DrawingSurface {
 public:
  virtual ~DrawingSurface() = default;

  // From now on every pixel of a stroke becomes the pixel underneath XOR the pen colour.
  virtual void SetDrawModeXorPen() = 0;
  virtual void SetPenWidth(int pixels) = 0;
  // A full circle (outline only) around (x, y).
  virtual void Circle(float x, float y, float radius, ColourValue colour) = 0;
};

}  // namespace ostrel
