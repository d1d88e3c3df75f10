#pragma once

#include <array>
#include <cassert>
#include <cstdint>

#include "trails/drawing_surface.h"

namespace ostrel {

// One of a trail's rings: 100 slots numbered 1 to 100. A slot that has never
// been written reads as 0.
class Ring {
 public:
  static constexpr int kSlots = 100;

  std::int32_t& operator[](int slot) {
    assert(slot >= 1 && slot <= kSlots);
    return values_[static_cast<std::size_t>(slot - 1)];
  }
  std::int32_t operator[](int slot) const {
    assert(slot >= 1 && slot <= kSlots);
    return values_[static_cast<std::size_t>(slot - 1)];
  }

 private:
  std::array<std::int32_t, kSlots> values_{};
};

struct Trail {
  std::int32_t HeadIndex = 0;  // slot that receives this tick's new circle
  std::int32_t TailIndex = 0;  // slot whose circle is drawn again (erased) this tick
  Ring PosX;                   // circle centre X, twips
  Ring PosY;                   // circle centre Y, twips
  Ring Radius;                 // circle radius, twips
};

struct TrailState {
  static constexpr int kTrails = 4;

  // Ticks since the reset. 64 bits wide so that a run never ends by itself; the
  // values of the first 2^31 ticks are the same as a 32-bit counter's.
  std::int64_t TickCount = 0;
  float ScreenW = 0.0F;      // screen width, twips
  std::int32_t ScreenH = 0;  // screen height, twips, rounded; 32 bits so tall screens fit
  std::array<Trail, kTrails> Trails{};
};

// The constant part of a trail: its pen colour and the phases of its path.
struct TrailStyle {
  ColourValue Colour;
  double PhaseY;
  double PhaseX;
  double PhaseRadius;
};

inline constexpr std::array<TrailStyle, TrailState::kTrails> kTrailStyles{{
    {0x0000FF, 1.5, 2.5, 1.5},  // red
    {0x00FFFF, 4.5, 3.5, 2.5},  // yellow
    {0xFF0000, 5.5, 6.5, 5.5},  // blue
    {0xFFFFFF, 3.5, 7.5, 2.5},  // white
}};

// The angles of a trail's path on tick k (k = TickCount as a double), evaluated
// as written, in double: divide, multiply, add the phase. The tick takes their
// sines with Sine (trails/sine.h).
inline double AngleY(double k, const TrailStyle& style) { return k / 900.0 * 7.0 + style.PhaseY; }
inline double AngleX(double k, const TrailStyle& style) { return k / 900.0 * 5.0 + style.PhaseX; }
inline double AngleRadius(double k, const TrailStyle& style) {
  return k / 50.0 * 7.0 + style.PhaseRadius;
}

inline constexpr int kPenWidthPixels = 3;
// How many circles each trail shows between ticks: the tail runs this many slots
// behind the head.
inline constexpr int kTrailLength = 29;

// The eight circles a tick draws, in order. Trail 1 erases before it draws; the
// others draw before they erase. XOR drawing commutes, so the pixels after the
// tick are the same in any order, overlapping circles included, and no screen
// shows a tick half drawn. The order is fixed all the same: it makes the tick's
// drawing calls one sequence, the same on every surface and in the listing of
// `ostrel-trace`, which the tests compare call by call.
enum class RingEnd { kHead, kTail };
struct DrawStep {
  int trail;  // 0-based
  RingEnd end;
};
inline constexpr std::array<DrawStep, 2 * TrailState::kTrails> kDrawOrder{{
    {0, RingEnd::kTail},
    {0, RingEnd::kHead},
    {1, RingEnd::kHead},
    {1, RingEnd::kTail},
    {2, RingEnd::kHead},
    {2, RingEnd::kTail},
    {3, RingEnd::kHead},
    {3, RingEnd::kTail},
}};

inline int SlotOf(const Trail& trail, RingEnd end) {
  return end == RingEnd::kHead ? trail.HeadIndex : trail.TailIndex;
}

// Sets up the trails for a run on a screen of the given size in twips. The rings
// keep whatever they hold.
void ResetTrailState(TrailState& state, float screen_height_twips, float screen_width_twips);

// One tick: advance the counter and the ring indices, compute the four new head
// circles, then draw each trail's head and tail with the XOR pen.
void Timer1_Timer(TrailState& state, DrawingSurface& surface);

}  // namespace ostrel
