#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/image.h"
#include "trails/drawing_surface.h"

namespace ostrel {

struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;

  friend bool operator==(const Rect&, const Rect&) = default;
};

// The window's picture, kept in memory: the background with everything drawn
// over it. Both backends draw into it and show the rectangles that changed.
//
// A circle is centred on the pixel its centre falls in, as the system's own
// drawing calls place it, and is a ring as wide as the pen: the pixels whose
// distance d from the centre pixel satisfies radius - pen/2 <= d < radius + pen/2.
// Each pixel of a ring is written exactly once, so with the XOR pen a circle
// drawn twice leaves the frame as it was.
class SoftwareSurface final : public DrawingSurface {
 public:
  // `frame` is the memory drawn into (its size is the window's, in pixels);
  // `twips_per_pixel` converts the drawing calls' twips (15 at 96 DPI).
  SoftwareSurface(Image frame, double twips_per_pixel, PixelFormat format = {});

  void SetDrawModeXorPen() override { xor_pen_ = true; }
  void SetPenWidth(int pixels) override { pen_width_ = pixels; }
  void Circle(float x, float y, float radius, ColourValue colour) override;

  // Replaces the whole frame with `picture`, unscaled from the top-left corner;
  // the part it does not cover becomes `fill`.
  void SetBackground(const Image& picture, std::uint32_t fill = 0);

  const Image& Frame() const { return frame_; }
  Image& Frame() { return frame_; }

  // The rectangles changed since the last ClearDirtyRects, one per drawing call,
  // clipped to the frame and never empty.
  std::span<const Rect> DirtyRects() const { return dirty_; }
  void ClearDirtyRects() { dirty_.clear(); }

 private:
  // The shape of a ring around its centre pixel, which depends only on its
  // radius and the pen: for a row d pixels above or below the centre, the
  // ring's pixels are those k columns left or right of it with
  // hole[d] <= |k| < extent[d].
  struct RingProfile {
    double radius = -1.0;
    int pen_width = 0;
    std::vector<int> extent;  // one entry per row d = 0, 1, ...; all positive
    std::vector<int> hole;
  };

  const RingProfile& ProfileFor(double radius);
  template <bool kXor>
  void PaintRing(int centre_x, int centre_y, const RingProfile& ring, std::uint32_t pixel);

  Image frame_;
  double twips_per_pixel_;
  PixelFormat format_;
  bool xor_pen_ = false;
  int pen_width_ = 1;
  std::vector<Rect> dirty_;
  // Every circle the program draws is drawn a second time to erase it, and the
  // radii repeat; their profiles are kept, one per radius slot.
  static constexpr std::size_t kProfileSlots = 512;
  std::vector<RingProfile> profiles_ = std::vector<RingProfile>(kProfileSlots);
};

}  // namespace ostrel
