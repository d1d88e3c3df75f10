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
// a burst. Plain: the caller passes the time (a monotonic clock's
// nanoseconds).

#include <cstdint>

namespace ostrel {

class TickTimer {
 public:
  static constexpr std::int64_t kPeriodNs = 15'625'000;

  // Starts counting at `now`: the first tick is due one period later. Called
  // again, it starts afresh (after a step that took several periods, so that
  // no tick falls into it).
  void Start(std::int64_t now) {
    start_ = now;
    next_ = 1;
  }

  std::int64_t NextDeadline() const { return start_ + next_ * kPeriodNs; }
  bool Due(std::int64_t now) const { return now >= NextDeadline(); }

  // The tick that is due is being run: the next one is due a period after
  // it, or, when that time has passed too, a period after now.
  void Advance(std::int64_t now) {
    ++next_;
    if (NextDeadline() <= now) next_ = (now - start_) / kPeriodNs + 1;
  }

  // The number of the next tick due (1 after Start).
  std::int64_t NextTick() const { return next_; }

 private:
  std::int64_t start_ = 0;
  std::int64_t next_ = 1;
};

}  // namespace ostrel
