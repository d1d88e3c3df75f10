#pragma once

// The clock of every deadline and timeout: the timer's ticks, the waits for
// the display server and the desktop's services, D-Bus calls, the idle
// launcher's. steady_clock never goes back, unlike the time of day; on Linux
// it is CLOCK_MONOTONIC, the clock of poll's and sd-bus's timeouts too.

#include <chrono>

namespace ostrel {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

}  // namespace ostrel
