// The cost of one tick of the animation on the software surface.
//
//   build/release/bench/ostrel_bench --benchmark_repetitions=10
//   --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include "platform/software_surface.h"
#include "trails/sine.h"
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

// The angles the tick takes sines of: all twelve of 4096 ticks, half of them
// early in a run and half past tick 2^31.
std::vector<double> TickAngles() {
  std::vector<double> angles;
  for (int i = 0; i < 4096; ++i) {
    const double k = i < 2048 ? 2.0 + i : 2147483648.0 + 7919.0 * i;
    for (const TrailStyle& style : kTrailStyles) {
      angles.push_back(AngleY(k, style));
      angles.push_back(AngleX(k, style));
      angles.push_back(AngleRadius(k, style));
    }
  }
  return angles;
}

template <double (*kFunction)(double)>
void SineOverTickAngles(benchmark::State& bench) {
  const std::vector<double> angles = TickAngles();
  std::size_t i = 0;
  for (auto _ : bench) {
    benchmark::DoNotOptimize(kFunction(angles[i]));
    i = i + 1 == angles.size() ? 0 : i + 1;
  }
}

// One call of the tick's sine, its slow path included as often as the tick
// needs it.
void BM_Sin(benchmark::State& bench) { SineOverTickAngles<Sine>(bench); }
BENCHMARK(BM_Sin);

// The quick path alone, rounding test included.
double QuickOnly(double x) { return sine_detail::QuickSine(x).value; }
void BM_SinQuickPath(benchmark::State& bench) { SineOverTickAngles<QuickOnly>(bench); }
BENCHMARK(BM_SinQuickPath);

// The slow path alone: what an angle costs when the quick path cannot decide.
double SlowOnly(double x) { return sine_detail::SlowSine(x).value; }
void BM_SinSlowPath(benchmark::State& bench) { SineOverTickAngles<SlowOnly>(bench); }
BENCHMARK(BM_SinSlowPath);

// The C library's sin on the same angles, for comparison.
double LibrarySin(double x) { return std::sin(x); }
void BM_StdSin(benchmark::State& bench) { SineOverTickAngles<LibrarySin>(bench); }
BENCHMARK(BM_StdSin);

}  // namespace
}  // namespace ostrel
