#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/image.h"
#include "platform/rect.h"
#include "trails/drawing_surface.h"

namespace ostrel {

// The window's picture, kept in memory: the background with everything drawn
// over it. Every backend draws into it and shows the rectangles that changed.
//
// A circle is centred on the pixel its centre falls in, as the system's own
// drawing calls place it, and is a ring as wide as the pen: the pixels whose
// distance d from the centre pixel satisfies radius - pen/2 <= d < radius + pen/2.
// Each pixel of a ring is written exactly once, so with the XOR pen a circle
// drawn twice leaves the frame as it was.
//
// The surface draws in place: its frame is the picture itself (a backend hands
// it the memory the screen was copied into), and no clean copy of the picture
// is kept. An XOR pen needs none: the surface remembers which XOR circles are
// shown (drawn an odd number of times), so the picture under them is the frame
// with those circles drawn once more.
class SoftwareSurface final : public DrawingSurface {
 public:
  // `frame` is the memory drawn into (its size is the window's, in pixels);
  // `twips_per_pixel` converts the drawing calls' twips (15 at 96 DPI).
  SoftwareSurface(Image frame, double twips_per_pixel, PixelFormat format = {});

  void SetDrawModeXorPen() override { xor_pen_ = true; }
  void SetPenWidth(int pixels) override { pen_width_ = pixels; }
  void Circle(float x, float y, float radius, ColourValue colour) override;

  // Replaces the whole frame with `picture`, unscaled from the top-left corner;
  // the part it does not cover becomes `fill`. A picture that is the frame's
  // own memory (the screen copied straight into it) is not copied. No circle is
  // shown afterwards.
  void SetBackground(const Image& picture, std::uint32_t fill = 0);

  // Calls `use` with the frame holding only the background: every XOR circle
  // still shown is erased in place before and drawn again after, so the frame
  // is the same afterwards and no second frame is needed. Nothing is reported
  // as changed. Copy-pen circles count as part of the background.
  template <typename Use>
  void WithBackground(Use&& use) {
    RedrawShownCircles();
    try {
      use(static_cast<const Image&>(frame_));
    } catch (...) {
      RedrawShownCircles();
      throw;
    }
    RedrawShownCircles();
  }
  // How many XOR circles are shown now.
  std::size_t ShownCircles() const { return shown_count_; }

  const Image& Frame() const { return frame_; }
  Image& Frame() { return frame_; }
  // Goes on drawing on `frame`, which must hold the same pixels as the frame
  // so far (another copy of it, brought up to date): the circles shown stay
  // known, so the next XOR of one still erases it. Throws
  // std::invalid_argument when the sizes differ.
  void MoveFrame(Image frame);

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

  // An XOR circle as it was painted: centre pixel, radius in pixels, pen and
  // pixel value. Painting it again with the same values erases it.
  struct PaintedCircle {
    int centre_x = 0;
    int centre_y = 0;
    double radius = 0.0;
    int pen_width = 0;  // 0: an empty place in the table of shown circles
    std::uint32_t pixel = 0;

    friend bool operator==(const PaintedCircle&, const PaintedCircle&) = default;
  };

  const RingProfile& ProfileFor(double radius, int pen_width);
  // Records an XOR circle as shown, or as no longer shown when it already was.
  void ToggleShown(const PaintedCircle& circle);
  void RedrawShownCircles();
  template <bool kXor>
  void PaintRing(int centre_x, int centre_y, const RingProfile& ring, std::uint32_t pixel);

  Image frame_;
  double twips_per_pixel_;
  PixelFormat format_;
  bool xor_pen_ = false;
  int pen_width_ = 1;
  std::vector<Rect> dirty_;
  // The XOR circles drawn an odd number of times: a hash table with open
  // addressing (linear probing), at most half full. The trails show about a
  // hundred circles and every tick toggles eight, so finding one must cost
  // little more than a hash.
  std::vector<PaintedCircle> shown_ = std::vector<PaintedCircle>(256);
  std::size_t shown_count_ = 0;
  // Every circle the program draws is drawn a second time to erase it, and the
  // radii repeat; their profiles are kept, one per radius slot.
  static constexpr std::size_t kProfileSlots = 512;
  std::vector<RingProfile> profiles_ = std::vector<RingProfile>(kProfileSlots);
};

}  // namespace ostrel
