#include "idle/duration.h"

#include <cstdint>

namespace ostrel {
namespace {

struct Unit {
  char letter;
  std::int64_t seconds;
};
constexpr Unit kUnits[] = {{'h', 3600}, {'m', 60}, {'s', 1}};

}  // namespace

std::optional<std::chrono::milliseconds> ParseDuration(std::string_view text, std::string* error) {
  std::string quoted = "'";
  quoted.append(text).append("'");
  const std::string not_one = quoted + " is not a duration such as 90s, 10m or 1h30m";
  if (text.empty()) {
    *error = "an empty duration; give one such as 90s, 10m or 1h30m";
    return std::nullopt;
  }
  // Past this many seconds the number is too long in any unit; the bound also
  // keeps the sum far from overflowing.
  constexpr std::int64_t kCap = 1'000'000'000;
  std::int64_t total = 0;
  std::size_t next_unit = 0;  // units must come in the order h, m, s
  std::size_t at = 0;
  while (at < text.size()) {
    std::int64_t number = 0;
    const std::size_t digits_from = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      number = number * 10 + (text[at] - '0');
      if (number > kCap) number = kCap;
      ++at;
    }
    if (at == digits_from) {
      *error = not_one;
      return std::nullopt;
    }
    std::int64_t unit_seconds = 1;
    if (at == text.size()) {
      // A bare number is seconds, but only on its own: "1m30" is not.
      if (digits_from != 0) {
        *error = not_one + " (a number after a unit needs its own unit)";
        return std::nullopt;
      }
    } else {
      std::size_t unit = next_unit;
      while (unit < std::size(kUnits) && kUnits[unit].letter != text[at]) ++unit;
      if (unit == std::size(kUnits)) {
        *error = not_one;
        return std::nullopt;
      }
      unit_seconds = kUnits[unit].seconds;
      next_unit = unit + 1;
      ++at;
    }
    total += number * unit_seconds;
    if (total > kCap) total = kCap;
  }
  const auto duration = std::chrono::milliseconds(total * 1000);
  if (duration < kShortestIdle) {
    *error = quoted + " is too short: the shortest is " + FormatDuration(kShortestIdle);
    return std::nullopt;
  }
  if (duration > kLongestIdle) {
    *error = quoted + " is too long: the longest is " + FormatDuration(kLongestIdle);
    return std::nullopt;
  }
  return duration;
}

std::string FormatDuration(std::chrono::milliseconds duration) {
  std::int64_t seconds = std::chrono::duration_cast<std::chrono::seconds>(duration).count();
  if (seconds == 0) return "0s";
  std::string text;
  for (const Unit& unit : kUnits) {
    if (seconds >= unit.seconds) {
      text += std::to_string(seconds / unit.seconds) + unit.letter;
      seconds %= unit.seconds;
    }
  }
  return text;
}

}  // namespace ostrel
