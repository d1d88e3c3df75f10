// The cost of one tick of the animation on the software surface.
//
//   build/release/bench/ostrel_bench --benchmark_repetitions=10
//   --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>

#include <cmath>

#include "platform/software_surface.h"
#include "trails/trail_state.h"

namespace ostrel {
namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr double kTwipsPerPixel = 15.0;
constexpr float kLargestRadius = 650.0F;

// Draws every circle at the largest radius the trails ever use: the worst case
// for the rasteriser, with the tick's real centres, colours and order.
class LargestRadiusSurface final : public DrawingSurface {
 public:
  explicit LargestRadiusSurface(SoftwareSurface& target) : target_(target) {}
  void SetDrawModeXorPen() override { target_.SetDrawModeXorPen(); }
  void SetPenWidth(int pixels) override { target_.SetPenWidth(pixels); }
  void Circle(float x, float y, float /*radius*/, ColourValue colour) override {
    target_.Circle(x, y, kLargestRadius, colour);
  }

 private:
  SoftwareSurface& target_;
};

SoftwareSurface MakeSurface() { return SoftwareSurface(Image(kWidth, kHeight), kTwipsPerPixel); }

TrailState WarmedUpState(DrawingSurface& surface) {
  TrailState state;
  ResetTrailState(state, kHeight * kTwipsPerPixel, kWidth * kTwipsPerPixel);
  for (int i = 0; i < 100; ++i) Timer1_Timer(state, surface);  // past the warm-up
  return state;
}

// One tick with eight circles of 650 twips: four heads computed, eight rings
// drawn, the changed rectangles recorded and taken.
void BM_TickLargestRadius(benchmark::State& bench) {
  SoftwareSurface surface = MakeSurface();
  LargestRadiusSurface largest(surface);
  TrailState state = WarmedUpState(largest);
  for (auto _ : bench) {
    Timer1_Timer(state, largest);
    benchmark::DoNotOptimize(surface.DirtyRects().data());
    surface.ClearDirtyRects();
  }
}
BENCHMARK(BM_TickLargestRadius);

// A tick as it really runs, radii swelling and shrinking.
void BM_Tick(benchmark::State& bench) {
  SoftwareSurface surface = MakeSurface();
  TrailState state = WarmedUpState(surface);
  for (auto _ : bench) {
    Timer1_Timer(state, surface);
    benchmark::DoNotOptimize(surface.DirtyRects().data());
    surface.ClearDirtyRects();
  }
}
BENCHMARK(BM_Tick);

// One ring of 650 twips alone.
void BM_CircleLargestRadius(benchmark::State& bench) {
  SoftwareSurface surface = MakeSurface();
  surface.SetDrawModeXorPen();
  surface.SetPenWidth(kPenWidthPixels);
  float x = 5000.0F;
  for (auto _ : bench) {
    surface.Circle(x, 8000.0F, kLargestRadius, 0xFFFFFF);
    x = x > 25000.0F ? 5000.0F : x + 37.0F;
    surface.ClearDirtyRects();
  }
}
BENCHMARK(BM_CircleLargestRadius);

// One ring whose radius has never been drawn before, so its shape is computed
// afresh: the cost of a circle the first time its radius comes up.
void BM_CircleNewRadius(benchmark::State& bench) {
  SoftwareSurface surface = MakeSurface();
  surface.SetDrawModeXorPen();
  surface.SetPenWidth(kPenWidthPixels);
  float radius = kLargestRadius;
  for (auto _ : bench) {
    surface.Circle(15000.0F, 8000.0F, radius, 0xFFFFFF);
    radius = std::nextafter(radius, 0.0F);
    surface.ClearDirtyRects();
  }
}
BENCHMARK(BM_CircleNewRadius);

}  // namespace
}  // namespace ostrel
