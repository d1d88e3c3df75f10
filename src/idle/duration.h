#pragma once

// The idle time a user gives `--after`: "90s", "10m", "1h30m", "2h", or a
// bare number of seconds ("600"). Units h, m and s, each at most once, from
// hours down, with no spaces or fractions; from 1 second to 24 hours.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace ostrel {

inline constexpr std::chrono::milliseconds kShortestIdle = std::chrono::seconds(1);
inline constexpr std::chrono::milliseconds kLongestIdle = std::chrono::hours(24);

// The duration, or nullopt with a sentence saying what is wrong in `error`.
std::optional<std::chrono::milliseconds> ParseDuration(std::string_view text, std::string* error);

// The duration written the way ParseDuration reads it ("1h30m", "45s").
std::string FormatDuration(std::chrono::milliseconds duration);

}  // namespace ostrel
