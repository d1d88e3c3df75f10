// The slow path of the sine: 256-bit fixed point, for the few angles the quick
// path cannot decide.

#include <algorithm>
#include <array>
#include <cstdint>

#include "trails/sine.h"
#include "trails/sine_reduction.h"
#include "trails/sine_tables.h"

namespace ostrel {
namespace {

using namespace sine_reduction;  // NOLINT: the shared steps of both paths

// ---------------------------------------------------------------- slow path

// Fixed point: 256 fraction bits and 32 integer bits.
constexpr std::size_t kFixedLimbs = 9;
using Fixed = Limbs<kFixedLimbs>;
constexpr Fixed kOne{0, 0, 0, 0, 0, 0, 0, 0, 1};
// Terms of the series after the first: the first left out is below 2^-260.
constexpr int kSeriesTerms = 27;
// Bound on the slow path's error, in units of 2^-256 (docs/sine.md).
constexpr std::uint32_t kSlowError = 16;

// a * b rounded down; the product must be below 2^32.
Fixed Multiply(const Fixed& a, const Fixed& b) {
  std::array<std::uint32_t, 2 * kFixedLimbs> full{};
  for (std::size_t i = 0; i < kFixedLimbs; ++i) {
    std::uint64_t carry = 0;
    for (std::size_t j = 0; j < kFixedLimbs; ++j) {
      const std::uint64_t t = static_cast<std::uint64_t>(a[i]) * b[j] + full[i + j] + carry;
      full[i + j] = static_cast<std::uint32_t>(t);
      carry = t >> 32;
    }
    full[i + kFixedLimbs] = static_cast<std::uint32_t>(carry);
  }
  Fixed r;
  std::copy_n(full.begin() + (kFixedLimbs - 1), kFixedLimbs, r.begin());
  return r;
}

// a / d rounded down.
void DivideBy(Fixed& a, std::uint32_t d) {
  std::uint64_t remainder = 0;
  for (std::size_t i = kFixedLimbs; i-- > 0;) {
    const std::uint64_t current = remainder << 32 | a[i];
    a[i] = static_cast<std::uint32_t>(current / d);
    remainder = current % d;
  }
}

// a - b for a >= b.
Fixed Subtract(const Fixed& a, const Fixed& b) {
  Fixed r;
  std::uint64_t borrow = 0;
  for (std::size_t i = 0; i < kFixedLimbs; ++i) {
    const std::uint64_t d = static_cast<std::uint64_t>(a[i]) - b[i] - borrow;
    r[i] = static_cast<std::uint32_t>(d);
    borrow = (d >> 32) & 1;
  }
  return r;
}

Fixed Add(const Fixed& a, const Fixed& b) {
  Fixed r;
  std::uint64_t carry = 0;
  for (std::size_t i = 0; i < kFixedLimbs; ++i) {
    const std::uint64_t s = static_cast<std::uint64_t>(a[i]) + b[i] + carry;
    r[i] = static_cast<std::uint32_t>(s);
    carry = s >> 32;
  }
  return r;
}

// a * 2^-256 rounded to the nearest double, ties to even.
double ToNearestDouble(const Fixed& a) {
  const int top = TopBitBelow(a, 32 * static_cast<int>(kFixedLimbs));
  if (top < 0) return 0.0;
  std::uint64_t mantissa = BitsAt(a, top - 52, 53);
  int exponent = top - 52 - 256;
  if (top >= 53 && BitsAt(a, top - 53, 1) != 0) {
    const bool above_half = top >= 54 && TopBitBelow(a, top - 53) >= 0;
    if (above_half || (mantissa & 1) != 0) ++mantissa;
    if (mantissa >> 53 != 0) {
      mantissa >>= 1;
      ++exponent;
    }
  }
  return static_cast<double>(mantissa) * PowerOfTwo(exponent);
}

}  // namespace

namespace sine_detail {

PathResult SlowSine(double x) {
  if (const auto special = Special(x)) return *special;
  const Decomposed d = Decompose(x);
  const auto product = DivideByPiOver256<kSlowWindowLimbs>(d.m, d.e);
  // In quadrants: x = (q + v) pi/2, q = 0..3, 0 <= v < 1. w holds the top 256
  // bits of v.
  constexpr int kPoint = PointOf(kSlowWindowLimbs) + kStepBits;
  const auto quadrant = static_cast<unsigned>(BitsAt(product, kPoint, 2));
  Fixed w{};
  for (std::size_t i = 0; i < 8; ++i) {
    w[i] = static_cast<std::uint32_t>(BitsAt(product, kPoint - 256 + 32 * static_cast<int>(i), 32));
  }
  // sin(x) = +-sin(v pi/2) in even quadrants, +-cos(v pi/2) in odd ones; past
  // v = 1/2 use 1 - v and swap sine and cosine, so that the angle t <= pi/4.
  bool use_cos = (quadrant & 1) != 0;
  if (w[7] >> 31 != 0) {
    w = Subtract(kOne, w);
    use_cos = !use_cos;
  }
  const Fixed t = Multiply(w, sine_tables::kPiOver2Fixed);
  const Fixed u = Multiply(t, t);
  // cos t = 1 - u/(1 2) (1 - u/(3 4) (1 - ...)); sin t = t (1 - u/(2 3) (1 - ...)).
  Fixed series = kOne;
  for (std::uint32_t k = kSeriesTerms; k >= 1; --k) {
    series = Multiply(u, series);
    DivideBy(series, use_cos ? (2 * k - 1) * (2 * k) : (2 * k) * (2 * k + 1));
    series = Subtract(kOne, series);
  }
  const Fixed y = use_cos ? series : Multiply(t, series);

  Fixed error{};
  error[0] = kSlowError;
  const double value = ToNearestDouble(y);
  const bool certain = TopBitBelow(y, 32 * static_cast<int>(kFixedLimbs)) >= 64 &&
                       ToNearestDouble(Subtract(y, error)) == ToNearestDouble(Add(y, error));
  const bool negate = (quadrant >= 2) != d.negative;
  return {negate ? -value : value, certain, 0.0, 0.0};
}

}  // namespace sine_detail
}  // namespace ostrel
