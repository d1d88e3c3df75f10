#pragma once

// Integer arithmetic of the tick. Overflow is never silently wrapped: it throws
// std::overflow_error, which ends the program through its error path.

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include "trails/portable.h"

namespace ostrel {

// Rounds to the nearest integer, ties to even, into a signed 32-bit value.
// Relies on the default floating-point rounding mode (to nearest), which the
// program never changes.
inline std::int32_t RoundToInt32(double value) {
  const double rounded = std::nearbyint(value);
  // The negated comparison also rejects NaN.
  if (!(rounded >= static_cast<double>(std::numeric_limits<std::int32_t>::min()) &&
        rounded <= static_cast<double>(std::numeric_limits<std::int32_t>::max()))) {
    throw std::overflow_error("integer overflow: value does not fit in 32 bits");
  }
  return static_cast<std::int32_t>(rounded);
}

// Halves an integer, truncating toward zero (C++ integer division does exactly this).
template <typename Int>
constexpr Int HalveTruncating(Int value) {
  return static_cast<Int>(value / 2);
}

template <typename Int>
Int CheckedAdd(Int a, Int b) {
  Int sum{};
  if (AddOverflows(a, b, &sum)) {
    throw std::overflow_error("integer overflow in addition");
  }
  return sum;
}

}  // namespace ostrel
