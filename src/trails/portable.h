#pragma once

// Compiler built-ins behind plain functions, so that the core also builds with
// compilers that lack them (MSVC). Each has a portable fallback.

#include <limits>
#include <type_traits>

// Asks the compiler to inline a small function in a hot loop, where it offers
// a way to ask.
#if defined(__GNUC__) || defined(__clang__)
#define OSTREL_ALWAYS_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define OSTREL_ALWAYS_INLINE __forceinline
#else
#define OSTREL_ALWAYS_INLINE inline
#endif

namespace ostrel {

namespace portable_detail {

// The fallback of AddOverflows, compiled everywhere so that it can be tested.
template <typename Int>
constexpr bool AddOverflowsPlain(Int a, Int b, Int* sum) {
  static_assert(std::is_integral_v<Int> && !std::is_same_v<Int, bool>);
  constexpr Int kMax = std::numeric_limits<Int>::max();
  constexpr Int kMin = std::numeric_limits<Int>::min();
  if constexpr (std::is_signed_v<Int>) {
    if ((b > 0 && a > kMax - b) || (b < 0 && a < kMin - b)) return true;
  } else {
    if (a > kMax - b) return true;
  }
  *sum = static_cast<Int>(a + b);
  return false;
}

}  // namespace portable_detail

// Stores a + b in *sum and returns false, or returns true when the sum does not
// fit in Int (then *sum is left unspecified).
template <typename Int>
constexpr bool AddOverflows(Int a, Int b, Int* sum) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_add_overflow(a, b, sum);
#else
  return portable_detail::AddOverflowsPlain(a, b, sum);
#endif
}

// A hint that the cache line holding p will soon be written. Does nothing where
// the compiler offers no such hint.
inline void PrefetchForWrite(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p, 1);
#else
  static_cast<void>(p);
#endif
}

}  // namespace ostrel
