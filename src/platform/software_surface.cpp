#include "platform/software_surface.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>

#include "trails/portable.h"

namespace ostrel {
namespace {

// Circles larger than this (in pixels) are not drawn: far beyond any screen, and
// keeping below it keeps every pixel coordinate well inside the int range.
constexpr double kLargestRadiusPixels = 1e6;

template <bool kXor>
OSTREL_ALWAYS_INLINE void Apply(std::uint32_t& target, std::uint32_t pixel) {
  if constexpr (kXor) {
    target ^= pixel;
  } else {
    target = pixel;
  }
}

// Paints `count` pixels from each of two places (two rows, or both sides of a
// hole). Rings are drawn this way in pairs because both halves of a row, and
// the rows above and below the centre, have the same lengths.
template <bool kXor>
OSTREL_ALWAYS_INLINE void PaintPair(std::uint32_t* __restrict a, std::uint32_t* __restrict b,
                                    int count, std::uint32_t pixel) {
  for (int k = 0; k < count; ++k) {
    Apply<kXor>(a[k], pixel);
    Apply<kXor>(b[k], pixel);
  }
}

template <bool kXor>
OSTREL_ALWAYS_INLINE void PaintSpan(std::uint32_t* row, int first, int last, std::uint32_t pixel) {
  for (int x = first; x <= last; ++x) Apply<kXor>(row[x], pixel);
}

std::size_t HashOf(int centre_x, int centre_y, double radius, int pen_width, std::uint32_t pixel) {
  std::uint64_t h = std::bit_cast<std::uint64_t>(radius);
  for (const std::uint64_t part :
       {static_cast<std::uint64_t>(static_cast<std::uint32_t>(centre_x)),
        static_cast<std::uint64_t>(static_cast<std::uint32_t>(centre_y)),
        static_cast<std::uint64_t>(static_cast<std::uint32_t>(pen_width)), std::uint64_t{pixel}}) {
    h = (h ^ part) * 0x9E3779B97F4A7C15ULL;
    h ^= h >> 29;
  }
  return static_cast<std::size_t>(h);
}

}  // namespace

SoftwareSurface::SoftwareSurface(Image frame, double twips_per_pixel, PixelFormat format)
    : frame_(std::move(frame)), twips_per_pixel_(twips_per_pixel), format_(format) {
  if (!(twips_per_pixel_ > 0.0)) throw std::invalid_argument("twips per pixel must be positive");
  dirty_.reserve(64);
}

void SoftwareSurface::SetBackground(const Image& picture, std::uint32_t fill) {
  const bool is_frame = !frame_.Empty() && picture.Row(0) == frame_.Row(0) &&
                        picture.Width() == frame_.Width() && picture.Height() == frame_.Height() &&
                        picture.Stride() == frame_.Stride();
  if (!is_frame) frame_.CopyFrom(picture, fill);
  std::fill(shown_.begin(), shown_.end(), PaintedCircle{});
  shown_count_ = 0;
  if (!frame_.Empty()) dirty_.push_back({0, 0, frame_.Width(), frame_.Height()});
}

void SoftwareSurface::MoveFrame(Image frame) {
  if (frame.Width() != frame_.Width() || frame.Height() != frame_.Height()) {
    throw std::invalid_argument("the frame moves to a copy of another size");
  }
  frame_ = std::move(frame);
}

void SoftwareSurface::ToggleShown(const PaintedCircle& circle) {
  const std::size_t mask = shown_.size() - 1;
  std::size_t i =
      HashOf(circle.centre_x, circle.centre_y, circle.radius, circle.pen_width, circle.pixel) &
      mask;
  while (shown_[i].pen_width != 0 && !(shown_[i] == circle)) i = (i + 1) & mask;
  if (shown_[i].pen_width == 0) {
    shown_[i] = circle;
    if (++shown_count_ * 2 > shown_.size()) {
      // Half full: double the table and place every entry again.
      std::vector<PaintedCircle> old = std::move(shown_);
      shown_.assign(old.size() * 2, PaintedCircle{});
      shown_count_ = 0;
      for (const PaintedCircle& entry : old) {
        if (entry.pen_width != 0) ToggleShown(entry);
      }
    }
    return;
  }
  // Drawn a second time: erased. Close the gap so that every entry stays
  // reachable from its home place (backward-shift deletion).
  --shown_count_;
  std::size_t gap = i;
  for (std::size_t j = (i + 1) & mask; shown_[j].pen_width != 0; j = (j + 1) & mask) {
    const PaintedCircle& entry = shown_[j];
    const std::size_t home =
        HashOf(entry.centre_x, entry.centre_y, entry.radius, entry.pen_width, entry.pixel) & mask;
    // The entry may move into the gap unless its home lies cyclically in (gap, j].
    const bool home_after_gap = gap <= j ? (home > gap && home <= j) : (home > gap || home <= j);
    if (!home_after_gap) {
      shown_[gap] = entry;
      gap = j;
    }
  }
  shown_[gap] = PaintedCircle{};
}

void SoftwareSurface::RedrawShownCircles() {
  const std::size_t dirty_before = dirty_.size();
  for (const PaintedCircle& circle : shown_) {
    if (circle.pen_width == 0) continue;
    PaintRing<true>(circle.centre_x, circle.centre_y, ProfileFor(circle.radius, circle.pen_width),
                    circle.pixel);
  }
  dirty_.resize(dirty_before);
}

void SoftwareSurface::Circle(float x, float y, float radius, ColourValue colour) {
  // A circle of radius 0 (or less) draws nothing.
  if (!(radius > 0.0F) || pen_width_ <= 0) return;
  const double cx = static_cast<double>(x) / twips_per_pixel_;
  const double cy = static_cast<double>(y) / twips_per_pixel_;
  const double r = static_cast<double>(radius) / twips_per_pixel_;
  const double reach = r + pen_width_;
  // Off the frame entirely (NaN fails every test and lands here too), or absurdly
  // large: nothing to draw. Past this every coordinate fits an int with room.
  if (!(r <= kLargestRadiusPixels && cx + reach >= 0.0 && cx - reach <= frame_.Width() &&
        cy + reach >= 0.0 && cy - reach <= frame_.Height())) {
    return;
  }
  const RingProfile& ring = ProfileFor(r, pen_width_);
  const auto centre_x = static_cast<int>(std::floor(cx));
  const auto centre_y = static_cast<int>(std::floor(cy));
  const std::uint32_t pixel = format_.FromColourValue(colour);
  if (xor_pen_) {
    ToggleShown({centre_x, centre_y, r, pen_width_, pixel});
    PaintRing<true>(centre_x, centre_y, ring, pixel);
  } else {
    PaintRing<false>(centre_x, centre_y, ring, pixel);
  }
}

const SoftwareSurface::RingProfile& SoftwareSurface::ProfileFor(double radius, int pen_width) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(radius);
  const std::size_t slot =
      static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ULL) >> 55) % kProfileSlots;
  RingProfile& ring = profiles_[slot];
  if (ring.radius == radius && ring.pen_width == pen_width) return ring;

  // Pixel k columns and d rows from the centre pixel is in the ring when
  // inner^2 <= k^2 + d^2 < outer^2; for row d that is
  // ceil(sqrt(inner^2 - d^2)) <= |k| < ceil(sqrt(outer^2 - d^2)).
  const double outer = radius + pen_width / 2.0;
  const double inner = radius - pen_width / 2.0;
  const double outer_sq = outer * outer;
  const double inner_sq = inner > 0.0 ? inner * inner : 0.0;
  ring.extent.clear();
  ring.hole.clear();
  for (int d = 0;; ++d) {
    const double d_sq = static_cast<double>(d) * d;
    if (d_sq >= outer_sq) break;
    ring.extent.push_back(static_cast<int>(std::ceil(std::sqrt(outer_sq - d_sq))));
    ring.hole.push_back(d_sq < inner_sq ? static_cast<int>(std::ceil(std::sqrt(inner_sq - d_sq)))
                                        : 0);
  }
  ring.radius = radius;
  ring.pen_width = pen_width;
  return ring;
}

template <bool kXor>
void SoftwareSurface::PaintRing(int centre_x, int centre_y, const RingProfile& ring,
                                std::uint32_t pixel) {
  if (ring.extent.empty()) return;
  const int rows = static_cast<int>(ring.extent.size());  // rows d = 0 .. rows - 1
  const int widest = ring.extent[0];
  const int width = frame_.Width();
  const int height = frame_.Height();
  const int left = std::max(centre_x - widest + 1, 0);
  const int right = std::min(centre_x + widest - 1, width - 1);
  const int top = std::max(centre_y - rows + 1, 0);
  const int bottom = std::min(centre_y + rows - 1, height - 1);
  if (left > right || top > bottom) return;
  dirty_.push_back({left, top, right - left + 1, bottom - top + 1});

  const bool inside = left == centre_x - widest + 1 && right == centre_x + widest - 1 &&
                      top == centre_y - rows + 1 && bottom == centre_y + rows - 1;
  if (inside) {
    // The ring touches a few pixels in each of many rows; between ticks those
    // rows have usually left the cache. Asking for all of them first lets the
    // loads overlap instead of waiting for each in turn.
    for (int d = 0; d < rows; ++d) {
      const int extent = ring.extent[static_cast<std::size_t>(d)];
      for (const int y : {centre_y - d, centre_y + d}) {
        const std::uint32_t* row = frame_.Row(y);
        PrefetchForWrite(row + centre_x - extent + 1);
        PrefetchForWrite(row + centre_x + extent - 1);
      }
    }
    // Then paint the rows above and below the centre together, without clipping.
    for (int d = 0; d < rows; ++d) {
      const int extent = ring.extent[static_cast<std::size_t>(d)];
      const int hole = ring.hole[static_cast<std::size_t>(d)];
      std::uint32_t* above = frame_.Row(centre_y - d);
      std::uint32_t* below = frame_.Row(centre_y + d);
      if (hole == 0) {
        const int first = centre_x - extent + 1;
        const int count = 2 * extent - 1;
        if (d == 0) {
          PaintSpan<kXor>(above, first, first + count - 1, pixel);
        } else {
          PaintPair<kXor>(above + first, below + first, count, pixel);
        }
      } else {
        const int count = extent - hole;
        const int left_first = centre_x - extent + 1;
        const int right_first = centre_x + hole;
        PaintPair<kXor>(above + left_first, above + right_first, count, pixel);
        if (d != 0) PaintPair<kXor>(below + left_first, below + right_first, count, pixel);
      }
    }
    return;
  }

  // Partly off the frame: row by row, each span clipped.
  for (int y = top; y <= bottom; ++y) {
    const auto d = static_cast<std::size_t>(std::abs(y - centre_y));
    const int extent = ring.extent[d];
    const int hole = ring.hole[d];
    std::uint32_t* row = frame_.Row(y);
    if (hole == 0) {
      PaintSpan<kXor>(row, std::max(centre_x - extent + 1, left),
                      std::min(centre_x + extent - 1, right), pixel);
    } else {
      PaintSpan<kXor>(row, std::max(centre_x - extent + 1, left), std::min(centre_x - hole, right),
                      pixel);
      PaintSpan<kXor>(row, std::max(centre_x + hole, left), std::min(centre_x + extent - 1, right),
                      pixel);
    }
  }
}

}  // namespace ostrel
