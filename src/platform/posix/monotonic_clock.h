#pragma once

// The clock of the Linux backends' deadlines: the timer's ticks, the grabs'
// retry time, the waits for the window's map and for the compositor.

#include <time.h>

#include <cstdint>

namespace ostrel {

// CLOCK_MONOTONIC in nanoseconds: never set back, unlike the time of day.
inline std::int64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

}  // namespace ostrel
