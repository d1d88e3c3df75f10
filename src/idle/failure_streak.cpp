#include "idle/failure_streak.h"

namespace ostrel {

bool FailureStreak::Record(TimePoint ended, bool failed) {
  if (!failed) {
    count_ = 0;
    return false;
  }
  const bool full = count_ >= kLimit - 1;
  const bool stop = full && ended - earlier_.front() <= kWindow;
  // Keep the newest kLimit - 1 ends.
  if (full) {
    for (std::size_t i = 1; i < earlier_.size(); ++i) earlier_[i - 1] = earlier_[i];
    earlier_.back() = ended;
  } else {
    earlier_[static_cast<std::size_t>(count_)] = ended;
    ++count_;
  }
  return stop;
}

}  // namespace ostrel
