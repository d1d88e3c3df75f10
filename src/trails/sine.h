#pragma once

// The tick's own sine: the same bits on every build and every CPU.
//
// Built from IEEE double operations (+ - * /, comparisons) and integer
// arithmetic alone: no fused multiply-add, no extended precision, no call into
// the C library's mathematics. docs/sine.md gives the error bounds and the
// range where the result is proven to be sin(x) correctly rounded to nearest.

#include <array>
#include <cstdint>
#include <span>

namespace ostrel {

// sin(x) for any double. NaN and infinities give the quiet NaN 0x7FF8000000000000;
// |x| < 2^-26 (signed zeros included) gives x itself, which is sin(x) rounded
// to nearest. Every other input is reduced exactly against 1536 bits of 2/pi.
double Sine(double x);

namespace sine_detail {

// One path's answer. `value` is the double the path returns; `certain` says
// that its error bound proves `value` to be sin(x) rounded to nearest.
struct PathResult {
  double value = 0.0;
  bool certain = false;
  // The quick path's unrounded result hi + lo (zero for inputs it does not reduce).
  double hi = 0.0;
  double lo = 0.0;
};

// The quick path: double-double arithmetic with a relative error below
// kQuickRelativeError (plus kQuickAbsoluteError from the reduction), and a
// rounding test against that bound.
PathResult QuickSine(double x);
// The slow path: 256-bit fixed-point arithmetic on 32-bit limbs with an absolute
// error below 2^-252, and a rounding test against that bound.
PathResult SlowSine(double x);

inline constexpr double kQuickRelativeError = 0x1p-65;
inline constexpr double kQuickAbsoluteError = 0x1p-130;

// The constants both paths use, for checking against an independent computation.
std::span<const std::uint32_t> TwoOverPiWords();
std::span<const std::uint32_t> PiOver2Fixed();
// For a = i pi/256, c = pi/256, i in 0..128: sin a, c sin a and c^2/2 sin a,
// each as hi, lo.
std::array<double, 6> StepEntry(int i);
// The quick path's series coefficients: -c^3/6, c^5/120, -c^7/5040, c^4/24,
// -c^6/720, c^8/40320.
std::span<const double> Coefficients();

}  // namespace sine_detail
}  // namespace ostrel
