// sine-check: prints ostrel's sine of each input, for tests/sine_check.py.
//
//   sine-check           reads one double a line as 16 hex digits (its bits),
//                        optionally followed by "s" to run the slow path as
//                        well, and prints: x result quick_certain quick_value
//                        quick_hi quick_lo slow_certain slow_value, doubles as
//                        bits. quick_hi and quick_lo are "-" when the quick path
//                        did not reduce x; slow_value is "-" when the slow path
//                        did not run (it always runs when the quick path is not
//                        certain).
//   sine-check --tables  prints the constant tables the sine was built with

#include <bit>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "trails/sine.h"

namespace {

namespace detail = ostrel::sine_detail;

std::uint64_t Bits(double x) { return std::bit_cast<std::uint64_t>(x); }

void PrintTables() {
  const auto words = detail::TwoOverPiWords();
  for (std::size_t i = 0; i < words.size(); ++i)
    std::printf("two_over_pi %u %08" PRIx32 "\n", static_cast<unsigned>(i), words[i]);
  for (int i = 0; i <= 128; ++i) {
    std::printf("step %d", i);
    for (const double value : detail::StepEntry(i)) std::printf(" %016" PRIx64, Bits(value));
    std::printf("\n");
  }
  const auto limbs = detail::PiOver2Fixed();
  for (std::size_t i = 0; i < limbs.size(); ++i)
    std::printf("pi_over_2_fixed %u %08" PRIx32 "\n", static_cast<unsigned>(i), limbs[i]);
  const char* const names[] = {"kSin3", "kSin5", "kSin7", "kCos4", "kCos6", "kCos8"};
  const auto coefficients = detail::Coefficients();
  for (std::size_t i = 0; i < coefficients.size(); ++i) {
    std::printf("coefficient %s %016" PRIx64 "\n", names[i], Bits(coefficients[i]));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--tables") == 0) {
    PrintTables();
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  if (argc != 1) {
    std::fputs("usage: sine-check [--tables] < bits\n", stderr);
    return 2;
  }
  char line[64];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    char* end = nullptr;
    const std::uint64_t bits = std::strtoull(line, &end, 16);
    if (end == line) continue;  // a blank line
    const double x = std::bit_cast<double>(bits);
    const double result = ostrel::Sine(x);
    const detail::PathResult quick = detail::QuickSine(x);
    const bool run_slow = !quick.certain || std::strchr(end, 's') != nullptr;
    const detail::PathResult slow = run_slow ? detail::SlowSine(x) : detail::PathResult{};
    std::printf("%016" PRIx64 " %016" PRIx64 " %d %016" PRIx64, bits, Bits(result),
                quick.certain ? 1 : 0, Bits(quick.value));
    if (quick.hi == 0.0 && quick.lo == 0.0) {
      std::fputs(" - -", stdout);
    } else {
      std::printf(" %016" PRIx64 " %016" PRIx64, Bits(quick.hi), Bits(quick.lo));
    }
    if (run_slow) {
      std::printf(" %d %016" PRIx64 "\n", slow.certain ? 1 : 0, Bits(slow.value));
    } else {
      std::fputs(" 0 -\n", stdout);
    }
  }
  return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : 1;
}
