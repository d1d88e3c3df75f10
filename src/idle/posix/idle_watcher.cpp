#include "idle/posix/idle_watcher.h"

#include <exception>
#include <utility>

namespace ostrel {

void IdleWatcher::Watch(Waiter& waiter, Waiter::Source source, Waiter::Watch watch) {
  if (watch.prepare) {
    watch.prepare = [this, prepare = std::move(watch.prepare)]() -> short {
      try {
        return prepare();
      } catch (const std::exception& failure) {
        Lose(failure);
        return 0;
      }
    };
  }
  watch.ready = [this, ready = std::move(watch.ready)](short revents) {
    try {
      ready(revents);
    } catch (const std::exception& failure) {
      Lose(failure);
    }
  };
  watches_.push_back(waiter.Add(source, std::move(watch)));
}

void IdleWatcher::Lose(const std::exception& failure) {
  if (lost_) return;
  lost_ = true;
  // Only marked in the wait while a handler runs: the one running stays whole.
  watches_.clear();
  reports_.lost(failure.what());
}

}  // namespace ostrel
