#pragma once

// When the launcher gives up on a saver that keeps failing: three failed runs
// in a row, the first and the third ending within a minute of each other. A
// run that succeeds ends the streak; failures spread wider than a minute do
// not stop the launcher (a saver that fails now and then is logged, not
// abandoned).

#include <array>
#include <chrono>

#include "platform/clock.h"

namespace ostrel {

class FailureStreak {
 public:
  static constexpr int kLimit = 3;
  static constexpr std::chrono::seconds kWindow{60};

  // Records a run's end; true when this failure completes the streak.
  bool Record(TimePoint ended, bool failed);

 private:
  // The ends of the last kLimit - 1 failures in a row, oldest first.
  std::array<TimePoint, kLimit - 1> earlier_{};
  int count_ = 0;
};

}  // namespace ostrel
