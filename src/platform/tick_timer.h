#pragma once

// The window's timer where the system has none of its own (X11, Wayland): a
// tick every 15.625 ms on absolute deadlines, kept by the backend's one loop.
//
// The window asks for 1 ms, far more often than anyone sees. It ticks 64
// times a second instead (a whole number of nanoseconds, so the deadlines
// never round): the eye sees that as smooth motion, and a run costs one short
// wake-up a tick, well under one percent of a core. The trails advance one
// step a tick, so this rate is also their speed.
//
// Tick n is due at a fixed time from the start, so late wake-ups never add up
// to drift; after a long stall the missed ticks are dropped, not replayed in
// a burst. Plain: the caller passes the time.

#include <cstdint>

#include "platform/clock.h"

namespace ostrel {

class TickTimer {
 public:
  static constexpr std::chrono::nanoseconds kPeriod{15'625'000};

  // Starts counting at `now`: the first tick is due one period later. Called
  // again, it starts afresh (after a step that took several periods, so that
  // no tick falls into it).
  void Start(TimePoint now) {
    start_ = now;
    next_ = 1;
  }

  TimePoint NextDeadline() const { return start_ + next_ * kPeriod; }
  bool Due(TimePoint now) const { return now >= NextDeadline(); }

  // The tick that is due is being run: the next one is due a period after
  // it, or, when that time has passed too, a period after now.
  void Advance(TimePoint now) {
    ++next_;
    if (NextDeadline() <= now) next_ = (now - start_) / kPeriod + 1;
  }

  // The number of the next tick due (1 after Start).
  std::int64_t NextTick() const { return next_; }

 private:
  TimePoint start_{};
  std::int64_t next_ = 1;
};

}  // namespace ostrel
