#include "trails/sine.h"

#include <array>
#include <bit>
#include <cstdint>
#include <span>

#include "trails/sine_reduction.h"
#include "trails/sine_tables.h"

// The quick path and the sine itself; the slow path is in sine_slow.cpp.

namespace ostrel {
namespace {

using namespace sine_reduction;  // NOLINT: the shared steps of both paths
using sine_tables::kCos4;
using sine_tables::kCos6;
using sine_tables::kCos8;
using sine_tables::kSin3;
using sine_tables::kSin5;
using sine_tables::kSin7;
using sine_tables::kSteps;

// ---------------------------------------------------------------- quick path

// A cos(c g) + B sin(c g) in double-double, with c = pi/256, |g| <= 1/2 and
// g = g_hi + g_lo; a holds A, A c^2/2 and b holds B, B c from the step table.
// docs/sine.md bounds its error.
struct TableValues {
  double hi, lo;        // A or B
  double c_hi, c_lo;    // times c
  double c2_hi, c2_lo;  // times c^2/2
};

DoubleDouble Combine(const TableValues& a, const TableValues& b, double g_hi, double g_lo) {
  const DoubleDouble square = TwoProduct(g_hi, g_hi);
  const double z = square.hi;
  // sin(c g) - c g; its last term is the first-order effect of g_lo.
  const double sin_tail =
      g_hi * (z * (kSin3 + z * (kSin5 + z * kSin7))) + (3.0 * kSin3) * (z * g_lo);
  // cos(c g) - 1 + (c g)^2/2.
  const double cos_tail = (z * z) * (kCos4 + z * (kCos6 + z * kCos8));
  // A + B c g - A c^2/2 g^2, the three largest terms, summed exactly; the rest
  // in double. g^2 = z + square.lo + 2 g_hi g_lo + g_lo^2.
  const DoubleDouble b_g = TwoProduct(b.c_hi, g_hi);
  const double a_g2 = a.c2_hi * z;
  const double corrections = (b_g.lo + (b.c_hi * g_lo + b.c_lo * g_hi)) -
                             (a.c2_hi * (square.lo + 2.0 * g_hi * g_lo) + a.c2_lo * z) +
                             a.hi * cos_tail;
  const double small = b.hi * sin_tail + corrections;
  const DoubleDouble first = TwoSum(a.hi, b_g.hi);
  const DoubleDouble second = TwoSum(first.hi, -a_g2);
  const double low = ((first.lo + second.lo) + a.lo) + small;
  return FastTwoSum(second.hi, low);
}

// True when every value within the quick path's error bound of hi + lo rounds
// to hi. hi + lo is normalised: hi is lo + hi rounded. Branch-free, as the
// signs of hi and lo are as good as random.
bool RoundsToHi(double hi, double lo) {
  constexpr std::uint64_t kSignBit = 0x8000000000000000;
  const auto hi_bits = std::bit_cast<std::uint64_t>(hi);
  const auto lo_bits = std::bit_cast<std::uint64_t>(lo);
  const double magnitude = std::bit_cast<double>(hi_bits & ~kSignBit);
  // lo as seen from |hi|: negative when it points towards zero.
  const double outwards = std::bit_cast<double>(lo_bits ^ (hi_bits & kSignBit));
  const double lo_magnitude = std::bit_cast<double>(lo_bits & ~kSignBit);
  // The bound, a little enlarged: |sin x| may exceed |hi| by a relative 2^-52,
  // and the two operations round.
  const double error = magnitude * (sine_detail::kQuickRelativeError * (1.0 + 0x1p-16)) +
                       2.0 * sine_detail::kQuickAbsoluteError;
  // Half the gap to the next double away from zero; towards zero it is half as
  // wide when |hi| is a power of two.
  const std::uint64_t half_gap_bits = (hi_bits & kExponentMask) - (std::uint64_t{53} << 52);
  const std::uint64_t narrower = static_cast<std::uint64_t>(outwards < 0.0) &
                                 static_cast<std::uint64_t>((hi_bits & kMantissaMask) == 0);
  const double half_gap = std::bit_cast<double>(half_gap_bits - (narrower << 52));
  // Rounding is monotonic and the gap is a power of two, so the computed sum
  // stays below it only if the exact one does. From |hi| >= 2^-60 on, the
  // error is below 2^-64 |hi|, far below the narrower half gap (2^-54 |hi| at
  // least), so the interval cannot reach the midpoint on the other side
  // either. Smaller hi (never seen: the quick path goes on only for
  // |g| >= 2^-33) stay undecided.
  return (lo_magnitude + error < half_gap) & (magnitude >= 0x1p-60);
}

}  // namespace

namespace sine_detail {

PathResult QuickSine(double x) {
  if (const auto special = Special(x)) return *special;
  const Decomposed d = Decompose(x);
  const auto product = DivideByPiOver256<kQuickWindowLimbs>(d.m, d.e);
  // x = (n + g) pi/256 with n a whole number of steps and -1/2 <= g < 1/2;
  // (high, low) holds the top 128 bits of the fraction, g mod 1.
  constexpr int kPoint = PointOf(kQuickWindowLimbs);
  auto n = static_cast<unsigned>(BitsAt(product, kPoint, kStepBits + 2));
  std::uint64_t high = BitsAt(product, kPoint - 64, 64);
  std::uint64_t low = BitsAt(product, kPoint - 128, 64);
  // g < 0 when the fraction is 1/2 or more: then n rounds up and |g| is
  // 1 - fraction, the 128-bit two's complement. Branch-free: the signs are
  // as good as random from one angle to the next.
  const std::uint64_t negative_mask = 0 - (high >> 63);
  n = (n + static_cast<unsigned>(negative_mask & 1)) & 511;
  low = (low ^ negative_mask) - negative_mask;
  high = (high ^ negative_mask) + (negative_mask & (low == 0 ? 1 : 0));
  // |g| to double-double. |g| <= 1/2, so at least one leading bit is zero;
  // below 2^-33 the fraction's 128 bits are too few: leave such rare x to the
  // slow path.
  const int zeros = std::countl_zero(high);
  if (zeros > 32) return {0.0, false, 0.0, 0.0};
  // Two shifts: one by 64 - zeros would be undefined for zeros = 0 (g = -1/2,
  // where low is 0).
  high = high << zeros | (low >> 1) >> (63 - zeros);
  low <<= zeros;
  // g_hi: the top 53 bits, 1.f * 2^(-1 - zeros), assembled from its bits;
  // g_lo: the next 53.
  const std::uint64_t sign_bit = negative_mask << 63;
  const double g_hi = std::bit_cast<double>(
      sign_bit | static_cast<std::uint64_t>(1022 - zeros) << 52 | ((high >> 11) & kMantissaMask));
  const double g_lo =
      (1.0 - 2.0 * static_cast<double>(negative_mask & 1)) *
      (static_cast<double>((high & 0x7FF) << 42 | low >> 22) * PowerOfTwo(-106 - zeros));

  // sin(x) = +-sin(a + h) in even quadrants and +-cos(a + h) in odd ones, with
  // a = step pi/256, step in 0..127, h = g pi/256:
  //   sin(a + h) = sin a cos h + cos a sin h,  cos(a + h) = cos a cos h - sin a sin h,
  // and cos a = sin((128 - step) pi/256). Branch-free as well.
  const unsigned quadrant = n >> kStepBits;
  const unsigned step = n & 127;
  const unsigned odd = quadrant & 1;
  const unsigned swap = (step ^ (128 - step)) & (0 - odd);
  const sine_tables::Step& sa = kSteps[step ^ swap];
  const sine_tables::Step& sb = kSteps[(128 - step) ^ swap];
  const double b_sign = 1.0 - 2.0 * odd;
  const TableValues a{sa.sin_hi, sa.sin_lo, sa.sin_c_hi, sa.sin_c_lo, sa.sin_c2_hi, sa.sin_c2_lo};
  const TableValues b{b_sign * sb.sin_hi,   b_sign * sb.sin_lo,    b_sign * sb.sin_c_hi,
                      b_sign * sb.sin_c_lo, b_sign * sb.sin_c2_hi, b_sign * sb.sin_c2_lo};
  const DoubleDouble y = Combine(a, b, g_hi, g_lo);
  const double sign = 1.0 - 2.0 * static_cast<double>((quadrant >> 1) ^ (d.negative ? 1 : 0));
  const double hi = sign * y.hi;
  const double lo = sign * y.lo;
  return {hi, RoundsToHi(hi, lo), hi, lo};
}

std::span<const std::uint32_t> TwoOverPiWords() { return kTwoOverPi; }
std::span<const std::uint32_t> PiOver2Fixed() { return sine_tables::kPiOver2Fixed; }
std::array<double, 6> StepEntry(int i) {
  const sine_tables::Step& step = kSteps.at(static_cast<std::size_t>(i));
  return {step.sin_hi, step.sin_lo, step.sin_c_hi, step.sin_c_lo, step.sin_c2_hi, step.sin_c2_lo};
}
std::span<const double> Coefficients() {
  static constexpr std::array<double, 6> kCoefficients{kSin3, kSin5, kSin7, kCos4, kCos6, kCos8};
  return kCoefficients;
}

}  // namespace sine_detail

double Sine(double x) {
  const PathResult quick = sine_detail::QuickSine(x);
  return quick.certain ? quick.value : sine_detail::SlowSine(x).value;
}

}  // namespace ostrel
