// The tick drawn onto the software surface: what the screen holds between ticks.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/fake/fake_platform.h"
#include "platform/software_surface.h"
#include "trails/trail_state.h"

namespace ostrel {
namespace {

// Draws, for every trail, the circles of its kTrailLength newest slots.
void DrawNewestCircles(const TrailState& state, SoftwareSurface& surface) {
  surface.SetDrawModeXorPen();
  surface.SetPenWidth(kPenWidthPixels);
  for (std::size_t t = 0; t < state.Trails.size(); ++t) {
    const Trail& trail = state.Trails[t];
    for (int age = 0; age < kTrailLength; ++age) {
      const int slot = (trail.HeadIndex - 1 - age + Ring::kSlots) % Ring::kSlots + 1;
      surface.Circle(static_cast<float>(trail.PosX[slot]), static_cast<float>(trail.PosY[slot]),
                     static_cast<float>(trail.Radius[slot]), kTrailStyles[t].Colour);
    }
  }
}

class TrailDrawing : public ::testing::TestWithParam<int> {};

TEST_P(TrailDrawing, FrameIsBackgroundXorTheNewestCirclesOfEachTrail) {
  const int ticks = GetParam();
  // 320 x 200 pixels at 15 twips a pixel.
  const Image background = MakeTestDesktop(320, 200);
  SoftwareSurface surface(background.Clone(), 15.0);
  TrailState state;
  ResetTrailState(state, 3000.0F, 4800.0F);
  for (int i = 0; i < ticks; ++i) Timer1_Timer(state, surface);

  SoftwareSurface expected(background.Clone(), 15.0);
  DrawNewestCircles(state, expected);
  EXPECT_TRUE(SamePixels(surface.Frame(), expected.Frame()));

  // Erasing those circles gives back the background exactly.
  DrawNewestCircles(state, surface);
  EXPECT_TRUE(SamePixels(surface.Frame(), background));
}

// Just after the warm-up, after the first ring wrap, and after many wraps.
INSTANTIATE_TEST_SUITE_P(AfterTicks, TrailDrawing, ::testing::Values(29, 71, 100, 1234));

TEST(TrailDrawingWarmUp, WarmUpEraseDrawsLeaveNoMarkInTheCorner) {
  const Image background = MakeTestDesktop(64, 64);
  SoftwareSurface surface(background.Clone(), 15.0);
  TrailState state;
  // A screen so big that the trails never come near the top-left corner.
  ResetTrailState(state, 100000.0F, 100000.0F);
  for (int i = 0; i < 29; ++i) Timer1_Timer(state, surface);
  EXPECT_TRUE(SamePixels(surface.Frame(), background));
}

TEST(TrailDrawingRects, EachTickReportsOnlyWhatItTouched) {
  SoftwareSurface surface(MakeTestDesktop(1920, 1080), 15.0);
  TrailState state;
  ResetTrailState(state, 16200.0F, 28800.0F);
  for (int i = 0; i < 100; ++i) {
    surface.ClearDirtyRects();
    Timer1_Timer(state, surface);
  }
  // Eight circles of at most 650 twips (44 pixels) radius: small rectangles.
  ASSERT_EQ(surface.DirtyRects().size(), 8U);
  for (const Rect& rect : surface.DirtyRects()) {
    EXPECT_LE(rect.width, 2 * 46);
    EXPECT_LE(rect.height, 2 * 46);
  }
}

// XOR integrity over a long run: real ticks on a real 1920 x 1080 surface, then
// the circles still shown are erased and the frame must be the screen copy bit
// for bit. OSTREL_SOAK_TICKS sets the length (the test suite runs a million).
TEST(TrailDrawingSoak, AfterManyTicksErasingTheShownCirclesGivesTheScreenCopyBack) {
  const char* configured = std::getenv("OSTREL_SOAK_TICKS");
  const long long ticks = configured != nullptr ? std::atoll(configured) : 20000;
  ASSERT_GE(ticks, 100);
  const Image screen_copy = MakeTestDesktop(1920, 1080);
  SoftwareSurface surface(screen_copy.Clone(), 15.0);
  TrailState state;
  ResetTrailState(state, 16200.0F, 28800.0F);
  for (long long i = 0; i < ticks; ++i) {
    Timer1_Timer(state, surface);
    surface.ClearDirtyRects();
  }
  // Each trail shows its 29 newest circles, all of them on the screen.
  EXPECT_EQ(surface.ShownCircles(), std::size_t{TrailState::kTrails * kTrailLength});
  surface.WithBackground(
      [&](const Image& picture) { EXPECT_TRUE(SamePixels(picture, screen_copy)); });
}

// A window may lose its drawing mode and pen between ticks (a device context
// released and taken again): every tick sets both before it draws.
TEST(TrailDrawingPen, EveryTickSetsTheXorPenAndItsWidthBeforeDrawing) {
  class Recorder final : public DrawingSurface {
   public:
    void SetDrawModeXorPen() override { calls.push_back("xor"); }
    void SetPenWidth(int pixels) override { calls.push_back("pen " + std::to_string(pixels)); }
    void Circle(float, float, float, ColourValue) override { calls.push_back("circle"); }
    std::vector<std::string> calls;
  } recorder;
  TrailState state;
  ResetTrailState(state, 16200.0F, 28800.0F);
  const std::vector<std::string> one_tick = {"xor",    "pen 3",  "circle", "circle", "circle",
                                             "circle", "circle", "circle", "circle", "circle"};
  for (int i = 0; i < 3; ++i) {
    recorder.calls.clear();
    Timer1_Timer(state, recorder);
    EXPECT_EQ(recorder.calls, one_tick) << "tick " << i + 1;
  }
}

}  // namespace
}  // namespace ostrel
