#pragma once

// The clock of the X11 backend's deadlines: the timer's ticks, the grabs'
// retry time and the wait for the window's map.

#include <time.h>

#include <cstdint>

namespace ostrel {

// CLOCK_MONOTONIC in nanoseconds: never set back, unlike the time of day.
inline std::int64_t NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

}  // namespace ostrel
