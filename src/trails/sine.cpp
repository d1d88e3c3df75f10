#include "trails/sine.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "trails/sine_tables.h"

// Every double operation below must round once, to double: no extended
// precision and no contraction into fused multiply-add. The build passes
// -ffp-contract=off; this guards the rest.
#if (defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0) || \
    (defined(_M_IX86) && (!defined(_M_IX86_FP) || _M_IX86_FP < 2))
#error "the sine needs double arithmetic evaluated in double precision (SSE2, not x87)"
#endif
#if defined(_MSC_VER) && !defined(__clang__)
#pragma fp_contract(off)
#pragma float_control(precise, on)
#endif

namespace ostrel {
namespace {

using sine_detail::PathResult;
using sine_tables::kCos4;
using sine_tables::kCos6;
using sine_tables::kCos8;
using sine_tables::kSin3;
using sine_tables::kSin5;
using sine_tables::kSin7;
using sine_tables::kSteps;
using sine_tables::kTwoOverPi;

constexpr std::uint64_t kNanBits = 0x7FF8000000000000;
constexpr std::uint64_t kExponentMask = 0x7FF0000000000000;
constexpr std::uint64_t kMantissaMask = 0x000FFFFFFFFFFFFF;
constexpr std::uint64_t kMagnitudeMask = 0x7FFFFFFFFFFFFFFF;
constexpr std::uint64_t kTinyBits = 0x3E50000000000000;  // 2^-26

// ---------------------------------------------------------------- double-double

struct DoubleDouble {
  double hi;
  double lo;
};

// a + b = hi + lo exactly (Knuth's two-sum).
inline DoubleDouble TwoSum(double a, double b) {
  const double s = a + b;
  const double b_part = s - a;
  const double a_part = s - b_part;
  return {s, (a - a_part) + (b - b_part)};
}

// a + b = hi + lo exactly when a is zero or its exponent is at least b's (Dekker).
inline DoubleDouble FastTwoSum(double a, double b) {
  const double s = a + b;
  return {s, b - (s - a)};
}

// a = hi + lo with each half at most 26 bits wide (Veltkamp).
inline DoubleDouble Split(double a) {
  constexpr double kSplitter = 134217729.0;  // 2^27 + 1
  const double t = kSplitter * a;
  const double hi = t - (t - a);
  return {hi, a - hi};
}

// a * b = hi + lo exactly, for products far from underflow and overflow (Dekker).
inline DoubleDouble TwoProduct(double a, double b) {
  const double p = a * b;
  const DoubleDouble as = Split(a);
  const DoubleDouble bs = Split(b);
  const double e = (((as.hi * bs.hi - p) + as.hi * bs.lo) + as.lo * bs.hi) + as.lo * bs.lo;
  return {p, e};
}

// 2^k for -1022 <= k <= 1023.
inline double PowerOfTwo(int k) {
  return std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52);
}

// ---------------------------------------------------------------- multi-limb integers

// Little-endian: element 0 holds the lowest 32 bits.
template <std::size_t kCount>
using Limbs = std::array<std::uint32_t, kCount>;

// Bits [pos, pos + count) of a, count <= 64; bits outside a read as zero.
template <std::size_t kCount>
inline std::uint64_t BitsAt(const Limbs<kCount>& a, int pos, int count) {
  const auto limb = [&a](int i) -> std::uint64_t {
    return i >= 0 && i < static_cast<int>(kCount) ? a[static_cast<std::size_t>(i)] : 0;
  };
  const int index = pos >= 0 ? pos / 32 : -((31 - pos) / 32);  // rounded down
  const int shift = pos - 32 * index;
  std::uint64_t bits = (limb(index) | limb(index + 1) << 32) >> shift;
  if (shift > 0) bits |= limb(index + 2) << (64 - shift);
  return count >= 64 ? bits : bits & ((std::uint64_t{1} << count) - 1);
}

// The index of the highest set bit of a below bit `limit` (limit >= 1), or -1.
template <std::size_t kCount>
int TopBitBelow(const Limbs<kCount>& a, int limit) {
  for (int i = std::min(static_cast<int>(kCount) - 1, (limit - 1) / 32); i >= 0; --i) {
    std::uint32_t word = a[static_cast<std::size_t>(i)];
    if (32 * i + 32 > limit) word &= (std::uint32_t{1} << (limit - 32 * i)) - 1;
    if (word != 0) return 32 * i + static_cast<int>(std::bit_width(word)) - 1;
  }
  return -1;
}

// ---------------------------------------------------------------- argument reduction

// The quick path looks sin and cos up at multiples of pi/256: 2^7 steps a quadrant.
constexpr int kStepBits = 7;
// 32-bit words of 2/pi in each path's reduction.
constexpr std::size_t kQuickWindowLimbs = 6;
constexpr std::size_t kSlowWindowLimbs = 10;

// Calls f(0), f(1), ... f(n - 1) for std::index_sequence<0, ... n - 1>.
template <typename F, std::size_t... kIndex>
void Unrolled(std::index_sequence<kIndex...> /*indices*/, F&& f) {
  (f(kIndex), ...);
}

// The bits of 2/pi, with 96 zero bits in front (the bits "before" the binary
// point: the reduction's window may start up to 80 bits early), as 32-bit words
// starting at every bit offset: kShiftedTwoOverPi[s][i] holds bits 32 i + s to
// 32 i + s + 31 of that sequence. 6.5 KB, built at compile time from the table,
// so that the reduction reads its window without shifting it.
constexpr std::size_t kLeadingZeroWords = 3;
constexpr std::size_t kShiftedWords = kLeadingZeroWords + kTwoOverPi.size() - 1;
constexpr auto kShiftedTwoOverPi = [] {
  std::array<std::uint32_t, kLeadingZeroWords + kTwoOverPi.size()> padded{};
  for (std::size_t i = 0; i < kTwoOverPi.size(); ++i) padded[kLeadingZeroWords + i] = kTwoOverPi[i];
  std::array<std::array<std::uint32_t, kShiftedWords>, 32> shifted{};
  for (unsigned s = 0; s < 32; ++s) {
    for (std::size_t i = 0; i < kShiftedWords; ++i) {
      shifted[s][i] = s == 0 ? padded[i] : (padded[i] << s) | (padded[i + 1] >> (32 - s));
    }
  }
  return shifted;
}();

// Where the binary point of the reduction's product lies, in steps of pi/256.
constexpr int PointOf(std::size_t window_limbs) { return 32 * static_cast<int>(window_limbs) - 9; }

// For x = m * 2^e with 2^52 <= m < 2^53 and -78 <= e <= 971:
//   x / (pi/256) = P * 2^-PointOf(kWindowLimbs) + d  (mod 512, a full turn)
// with P the returned product and 0 <= d < m * 2^-PointOf(kWindowLimbs).
//
// x * 2^7 * 2/pi is the sum over i of m * b_i * 2^(e + 7 - i), b_i the i-th bit
// of 2/pi after the point (0 for i <= 0). The terms i <= e - 2 are whole turns;
// the product takes the 32 * kWindowLimbs bits from i = e - 1 on, so that the
// point of the product lies at the same bit for every x. The terms left out
// add up to less than m * 2^(e + 7 - (e - 1 + 32 kWindowLimbs - 1)).
template <std::size_t kWindowLimbs>
inline Limbs<kWindowLimbs + 2> DivideByPiOver256(std::uint64_t m, int e) {
  // Bit i = e - 1 of 2/pi is bit e - 2 + 96 of the padded sequence.
  const auto position = static_cast<unsigned>(e - 2 + 32 * static_cast<int>(kLeadingZeroWords));
  const std::size_t word = position / 32;
  const std::array<std::uint32_t, kShiftedWords>& words = kShiftedTwoOverPi[position % 32];
  // e <= 971, so word + kWindowLimbs stays within the table.
  static_assert((971 - 2 + 96) / 32 + kSlowWindowLimbs <= kShiftedWords);
  static_assert(kWindowLimbs <= kSlowWindowLimbs);
  // The loops are unrolled: straight-line code is what makes the quick path quick.
  constexpr auto kEach = std::make_index_sequence<kWindowLimbs>{};
  Limbs<kWindowLimbs> window;
  Unrolled(kEach, [&](std::size_t k) { window[kWindowLimbs - 1 - k] = words[word + k]; });
  const auto m_low = static_cast<std::uint32_t>(m);
  const auto m_high = static_cast<std::uint32_t>(m >> 32);
  Limbs<kWindowLimbs + 2> product;
  std::uint64_t carry = 0;
  Unrolled(kEach, [&](std::size_t k) {
    const std::uint64_t t = static_cast<std::uint64_t>(window[k]) * m_low + carry;
    product[k] = static_cast<std::uint32_t>(t);
    carry = t >> 32;
  });
  product[kWindowLimbs] = static_cast<std::uint32_t>(carry);
  carry = 0;
  Unrolled(kEach, [&](std::size_t k) {
    const std::uint64_t t = static_cast<std::uint64_t>(window[k]) * m_high + product[k + 1] + carry;
    product[k + 1] = static_cast<std::uint32_t>(t);
    carry = t >> 32;
  });
  product[kWindowLimbs + 1] = static_cast<std::uint32_t>(carry);
  return product;
}

struct Decomposed {
  bool negative;
  std::uint64_t m;  // 2^52 <= m < 2^53
  int e;            // |x| = m * 2^e
};

// For finite x with |x| >= 2^-26.
Decomposed Decompose(double x) {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  return {(bits >> 63) != 0, (bits & kMantissaMask) | (std::uint64_t{1} << 52),
          static_cast<int>((bits & kExponentMask) >> 52) - 1075};
}

// NaN and infinities give NaN; |x| < 2^-26 gives x, which is sin(x) rounded to
// nearest: sin(x) lies between x(1 - x^2/6) and x, and x^2/6 < 2^-54.5 is less
// than half the gap to x's neighbour.
std::optional<PathResult> Special(double x) {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  if ((bits & kExponentMask) == kExponentMask) {
    return PathResult{std::bit_cast<double>(kNanBits), true, 0.0, 0.0};
  }
  if ((bits & kMagnitudeMask) < kTinyBits) return PathResult{x, true, 0.0, 0.0};
  return std::nullopt;
}

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
