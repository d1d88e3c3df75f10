// The numbers the tick computes and the ring slots it uses. Expected values come
// from an independent computation of the animation (see trace_check.py), for a
// 1920x1080 screen at 96 DPI: 28800 x 16200 twips.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <stdexcept>
#include <vector>

#include "trails/checked_math.h"
#include "trails/portable.h"
#include "trails/trail_state.h"

namespace ostrel {
namespace {

struct Drawn {
  float x, y, radius;
  ColourValue colour;
  friend bool operator==(const Drawn&, const Drawn&) = default;
};

class Recorder final : public DrawingSurface {
 public:
  void SetDrawModeXorPen() override { calls.push_back(-1); }
  void SetPenWidth(int pixels) override { calls.push_back(pixels); }
  void Circle(float x, float y, float radius, ColourValue colour) override {
    calls.push_back(0);
    circles.push_back({x, y, radius, colour});
  }
  std::vector<int> calls;  // -1 XOR mode, >0 pen width, 0 circle
  std::vector<Drawn> circles;
};

void RunTicks(TrailState& state, Recorder& recorder, int ticks) {
  for (int i = 0; i < ticks; ++i) {
    recorder.circles.clear();
    recorder.calls.clear();
    Timer1_Timer(state, recorder);
  }
}

TEST(TrailNumbers, ResetSetsCounterIndicesAndSizeButKeepsRings) {
  TrailState state;
  state.Trails[2].PosX[7] = 1234;
  ResetTrailState(state, 16200.5F, 28800.75F);
  EXPECT_EQ(state.TickCount, 1);
  EXPECT_EQ(state.ScreenH, 16200);  // 16200.5 ties to even
  EXPECT_EQ(state.ScreenW, 28800.75F);
  for (const Trail& trail : state.Trails) {
    EXPECT_EQ(trail.HeadIndex, 30);
    EXPECT_EQ(trail.TailIndex, 1);
  }
  EXPECT_EQ(state.Trails[2].PosX[7], 1234);
  ResetTrailState(state, 16201.5F, 1.0F);
  EXPECT_EQ(state.ScreenH, 16202);
}

TEST(TrailNumbers, FirstTickAfterResetWritesSlot31AndErasesEmptySlot2) {
  TrailState state;
  ResetTrailState(state, 16200.0F, 28800.0F);
  Recorder recorder;
  RunTicks(state, recorder, 1);

  EXPECT_EQ(state.TickCount, 2);
  for (const Trail& trail : state.Trails) {
    EXPECT_EQ(trail.HeadIndex, 31);
    EXPECT_EQ(trail.TailIndex, 2);
  }
  // Mode and pen width come first, then the eight circles.
  EXPECT_EQ(recorder.calls, (std::vector<int>{-1, 3, 0, 0, 0, 0, 0, 0, 0, 0}));
  const std::vector<Drawn> expected{{0, 0, 0, 255},
                                    {22889, 16187, 644, 255},
                                    {9199, 157, 488, 65535},
                                    {0, 0, 0, 65535},
                                    {17654, 2475, 279, 16711680},
                                    {0, 0, 0, 16711680},
                                    {27962, 5141, 488, 16777215},
                                    {0, 0, 0, 16777215}};
  EXPECT_EQ(recorder.circles, expected);
}

TEST(TrailNumbers, RingWrapsAndTailErasesWhatTheHeadDrew) {
  TrailState state;
  ResetTrailState(state, 16200.0F, 28800.0F);
  Recorder recorder;

  RunTicks(state, recorder, 71);  // tick 71 after the reset: writes slot 1, erases slot 72
  EXPECT_EQ(state.TickCount, 72);
  EXPECT_EQ(state.Trails[0].HeadIndex, 1);
  EXPECT_EQ(state.Trails[0].TailIndex, 72);
  const std::vector<Drawn> tick71{{20043, 15920, 636, 255},     {17845, 15250, 191, 255},
                                  {4496, 485, 403, 65535},      {6302, 61, 596, 65535},
                                  {22729, 6307, 431, 16711680}, {20737, 4586, 183, 16711680},
                                  {28785, 1664, 403, 16777215}, {28704, 2927, 596, 16777215}};
  EXPECT_EQ(recorder.circles, tick71);

  RunTicks(state, recorder, 29);  // tick 100: writes slot 30, erases slot 1
  EXPECT_EQ(state.Trails[3].HeadIndex, 30);
  EXPECT_EQ(state.Trails[3].TailIndex, 1);
  // Slot 1 is erased with exactly the circle tick 71 drew there.
  EXPECT_EQ(recorder.circles[0], tick71[1]);
  EXPECT_EQ(recorder.circles[3], tick71[2]);
  EXPECT_EQ(recorder.circles[5], tick71[4]);
  EXPECT_EQ(recorder.circles[7], tick71[6]);
  EXPECT_EQ(recorder.circles[1], (Drawn{15557, 14217, 416, 255}));
}

TEST(TrailNumbers, EveryTailDrawRepeatsTheHeadDrawOf29TicksBefore) {
  TrailState state;
  ResetTrailState(state, 16200.0F, 28800.0F);
  Recorder recorder;
  std::vector<std::vector<Drawn>> history;
  for (int tick = 1; tick <= 400; ++tick) {
    RunTicks(state, recorder, 1);
    history.push_back(recorder.circles);
    if (tick < 30) continue;  // warm-up: the tails are still empty slots
    const auto& then = history[static_cast<std::size_t>(tick - 30)];
    EXPECT_EQ(recorder.circles[0], then[1]) << "tick " << tick;
    EXPECT_EQ(recorder.circles[3], then[2]) << "tick " << tick;
    EXPECT_EQ(recorder.circles[5], then[4]) << "tick " << tick;
    EXPECT_EQ(recorder.circles[7], then[6]) << "tick " << tick;
  }
}

// The portable overflow check (what MSVC builds use) agrees with the
// compiler's built-in on the edges of each type.
template <typename Int>
void ExpectOverflowChecksAgree() {
  constexpr Int kMin = std::numeric_limits<Int>::min();
  constexpr Int kMax = std::numeric_limits<Int>::max();
  const Int values[] = {kMin, static_cast<Int>(kMin + 1), static_cast<Int>(-1),       0,
                        1,    static_cast<Int>(kMax / 2), static_cast<Int>(kMax - 1), kMax};
  for (const Int a : values) {
    for (const Int b : values) {
      Int built_in{};
      Int plain{};
      const bool built_in_overflows = AddOverflows(a, b, &built_in);
      const bool plain_overflows = portable_detail::AddOverflowsPlain(a, b, &plain);
      EXPECT_EQ(plain_overflows, built_in_overflows) << +a << " + " << +b;
      if (!built_in_overflows) {
        EXPECT_EQ(plain, built_in) << +a << " + " << +b;
      }
    }
  }
}

TEST(TrailNumbers, PortableOverflowCheckMatchesTheBuiltIn) {
  ExpectOverflowChecksAgree<std::int8_t>();
  ExpectOverflowChecksAgree<std::int32_t>();
  ExpectOverflowChecksAgree<std::int64_t>();
  ExpectOverflowChecksAgree<std::uint32_t>();
  ExpectOverflowChecksAgree<std::uint64_t>();
  std::int32_t sum = 0;
  EXPECT_TRUE(portable_detail::AddOverflowsPlain<std::int32_t>(2147483647, 1, &sum));
  EXPECT_TRUE(portable_detail::AddOverflowsPlain<std::int32_t>(-2147483647 - 1, -1, &sum));
  EXPECT_FALSE(portable_detail::AddOverflowsPlain<std::int32_t>(2147483647, -1, &sum));
  EXPECT_EQ(sum, 2147483646);
}

TEST(TrailNumbers, RoundingBeforeTruncatingHalving) {
  EXPECT_EQ(HalveTruncating(RoundToInt32(2.5)), 1);
  EXPECT_EQ(HalveTruncating(RoundToInt32(3.5)), 2);
  EXPECT_EQ(HalveTruncating(RoundToInt32(-3.5)), -2);
  EXPECT_EQ(HalveTruncating(RoundToInt32(-2.5)), -1);
  EXPECT_EQ(HalveTruncating(RoundToInt32(0.5)), 0);
  EXPECT_EQ(HalveTruncating(RoundToInt32(-1.4)), 0);
  EXPECT_EQ(HalveTruncating(-3), -1);  // toward zero, not down
  EXPECT_THROW(RoundToInt32(2147483647.5), std::overflow_error);
  EXPECT_EQ(RoundToInt32(-2147483648.4), std::numeric_limits<std::int32_t>::min());
  EXPECT_THROW(RoundToInt32(std::numeric_limits<double>::quiet_NaN()), std::overflow_error);
}

TEST(TrailNumbers, XHalvesTheRoundedProductAndTheRoundedWidth) {
  // Width 3.5 twips: the width rounds to 4 and halves to 2; each product rounds
  // before it halves, so products from 1.5 up give 1. Halving without rounding
  // first would give x in 0..2 instead of 1..3.
  TrailState state;
  ResetTrailState(state, 0.0F, 3.5F);
  Recorder recorder;
  std::map<std::int32_t, int> seen;
  for (int tick = 0; tick < 400; ++tick) {
    RunTicks(state, recorder, 1);
    const Trail& trail = state.Trails[0];
    ++seen[trail.PosX[trail.HeadIndex]];
  }
  EXPECT_EQ(seen, (std::map<std::int32_t, int>{{1, 206}, {2, 160}, {3, 34}}));
}

TEST(TrailNumbers, RadiusStaysWithin150And650AndPositionsOnScreen) {
  TrailState state;
  ResetTrailState(state, 16200.0F, 28800.0F);
  Recorder recorder;
  int smallest = 1000;
  int largest = 0;
  for (int tick = 0; tick < 200000; ++tick) {
    recorder.circles.clear();
    Timer1_Timer(state, recorder);
    for (const Trail& trail : state.Trails) {
      const int slot = trail.HeadIndex;
      smallest = std::min(smallest, trail.Radius[slot]);
      largest = std::max(largest, trail.Radius[slot]);
      ASSERT_GE(trail.PosX[slot], 0);
      ASSERT_LE(trail.PosX[slot], 28800);
      ASSERT_GE(trail.PosY[slot], 0);
      ASSERT_LE(trail.PosY[slot], 16200);
    }
  }
  EXPECT_EQ(smallest, 150);
  EXPECT_EQ(largest, 649);  // the floor of 650 is only reached at an exact peak
}

TEST(TrailNumbers, ScreenTallerThan16BitsRunsWithCorrectNumbers) {
  // 1280 x 3840 pixels: 57600 twips tall, more than a 16-bit height can hold.
  TrailState state;
  ResetTrailState(state, 57600.0F, 19200.0F);
  EXPECT_EQ(state.ScreenH, 57600);
  Recorder recorder;
  RunTicks(state, recorder, 3);
  EXPECT_EQ(recorder.circles[1], (Drawn{15173, 57577, 620, 255}));
  EXPECT_EQ(recorder.circles[2], (Drawn{6034, 472, 420, 65535}));
  EXPECT_EQ(recorder.circles[4], (Drawn{11873, 9125, 344, 16711680}));
  EXPECT_EQ(recorder.circles[6], (Drawn{18676, 17864, 420, 16777215}));
}

TEST(TrailNumbers, CounterGoesPast32BitsAndFailsOnlyAt64) {
  TrailState state;
  ResetTrailState(state, 16200.0F, 28800.0F);
  state.TickCount = std::numeric_limits<std::int32_t>::max();
  Recorder recorder;
  RunTicks(state, recorder, 2);
  EXPECT_EQ(state.TickCount, std::int64_t{1} << 31 | 1);

  state.TickCount = std::numeric_limits<std::int64_t>::max();
  EXPECT_THROW(Timer1_Timer(state, recorder), std::overflow_error);
}

TEST(TrailNumbers, TickBeforeResetDrawsTheSameCircleTwicePerTrail) {
  TrailState state;  // as created: all zero
  Recorder recorder;
  RunTicks(state, recorder, 1);
  EXPECT_EQ(state.TickCount, 1);
  for (std::size_t t = 0; t < state.Trails.size(); ++t) {
    EXPECT_EQ(state.Trails[t].HeadIndex, 1);
    EXPECT_EQ(state.Trails[t].TailIndex, 1);
    const Drawn& first = recorder.circles[2 * t];
    EXPECT_EQ(first, recorder.circles[2 * t + 1]);
    EXPECT_EQ(first.x, 0.0F);
    EXPECT_EQ(first.y, 0.0F);
    EXPECT_GE(first.radius, 150.0F);
  }
}

}  // namespace
}  // namespace ostrel
