#include "trails/trail_state.h"

#include <cmath>

#include "trails/checked_math.h"
#include "trails/sine.h"

namespace ostrel {
namespace {

int NextSlot(int slot) { return (slot % Ring::kSlots) + 1; }

// Computes the circle a trail adds on tick k into ring slot `slot`. The sines
// are the program's own (trails/sine.h), so every build draws the same circles.
void ComputeHead(const TrailState& state, const TrailStyle& style, double k, int slot,
                 Trail& trail) {
  const double sin_y = Sine(AngleY(k, style));
  const double sin_x = Sine(AngleX(k, style));
  const double sin_r = Sine(AngleRadius(k, style));

  trail.PosY[slot] =
      CheckedAdd(HalveTruncating(RoundToInt32(sin_y * static_cast<double>(state.ScreenH))),
                 HalveTruncating(state.ScreenH));

  const double screen_w = static_cast<double>(state.ScreenW);
  // Each operand is rounded to an integer before it is halved.
  trail.PosX[slot] = CheckedAdd(HalveTruncating(RoundToInt32(screen_w * sin_x)),
                                HalveTruncating(RoundToInt32(screen_w)));

  // Always within 150..650, so the conversion cannot overflow.
  trail.Radius[slot] = static_cast<std::int32_t>(std::floor(sin_r * 250.0 + 400.0));
}

}  // namespace

void ResetTrailState(TrailState& state, float screen_height_twips, float screen_width_twips) {
  state.ScreenH = RoundToInt32(static_cast<double>(screen_height_twips));
  state.ScreenW = screen_width_twips;
  state.TickCount = 1;
  for (Trail& trail : state.Trails) {
    trail.HeadIndex = kTrailLength + 1;
    trail.TailIndex = 1;
  }
}

void Timer1_Timer(TrailState& state, DrawingSurface& surface) {
  state.TickCount = CheckedAdd<std::int64_t>(state.TickCount, 1);
  const double k = static_cast<double>(state.TickCount);

  Trail& first = state.Trails[0];
  first.HeadIndex = NextSlot(first.HeadIndex);
  first.TailIndex = NextSlot(first.TailIndex);
  for (std::size_t t = 1; t < state.Trails.size(); ++t) {
    state.Trails[t].HeadIndex = first.HeadIndex;
    state.Trails[t].TailIndex = first.TailIndex;
  }

  surface.SetDrawModeXorPen();
  surface.SetPenWidth(kPenWidthPixels);

  for (std::size_t t = 0; t < state.Trails.size(); ++t) {
    Trail& trail = state.Trails[t];
    ComputeHead(state, kTrailStyles[t], k, trail.HeadIndex, trail);
  }

  for (const DrawStep& step : kDrawOrder) {
    const Trail& trail = state.Trails[static_cast<std::size_t>(step.trail)];
    const int slot = SlotOf(trail, step.end);
    surface.Circle(static_cast<float>(trail.PosX[slot]), static_cast<float>(trail.PosY[slot]),
                   static_cast<float>(trail.Radius[slot]),
                   kTrailStyles[static_cast<std::size_t>(step.trail)].Colour);
  }
}

}  // namespace ostrel
