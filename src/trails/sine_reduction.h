#pragma once

// What both paths of the sine share: exact double-double steps, multi-limb
// integers, and the reduction of x against the bits of 2/pi. Internal to
// sine.cpp and sine_slow.cpp.

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "trails/portable.h"
#include "trails/sine.h"
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

namespace ostrel::sine_reduction {

using sine_detail::PathResult;
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
inline int TopBitBelow(const Limbs<kCount>& a, int limit) {
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
inline void Unrolled(std::index_sequence<kIndex...> /*indices*/, F&& f) {
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
// Inlined into each path: straight-line code is what makes the quick path quick.
template <std::size_t kWindowLimbs>
OSTREL_ALWAYS_INLINE Limbs<kWindowLimbs + 2> DivideByPiOver256(std::uint64_t m, int e) {
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
inline Decomposed Decompose(double x) {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  return {(bits >> 63) != 0, (bits & kMantissaMask) | (std::uint64_t{1} << 52),
          static_cast<int>((bits & kExponentMask) >> 52) - 1075};
}

// NaN and infinities give NaN; |x| < 2^-26 gives x, which is sin(x) rounded to
// nearest: sin(x) lies between x(1 - x^2/6) and x, and x^2/6 < 2^-54.5 is less
// than half the gap to x's neighbour.
inline std::optional<PathResult> Special(double x) {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  if ((bits & kExponentMask) == kExponentMask) {
    return PathResult{std::bit_cast<double>(kNanBits), true, 0.0, 0.0};
  }
  if ((bits & kMagnitudeMask) < kTinyBits) return PathResult{x, true, 0.0, 0.0};
  return std::nullopt;
}

}  // namespace ostrel::sine_reduction
