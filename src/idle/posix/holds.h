#pragma once

// The launcher's holds: the sources that can hold the saver off, the gate
// that decides from what they say (idle/hold_gate.h), and the gate's deadline
// in the launcher's wait. The watcher's idle time goes through here: the
// saver starts only when `start` is called.

#include <functional>
#include <memory>
#include <vector>

#include "idle/hold_gate.h"
#include "idle/posix/hold_source.h"
#include "platform/posix/waiter.h"

namespace ostrel {

class Holds {
 public:
  // `start`: start the saver now; `woken`: an application simulated input.
  Holds(Waiter& waiter, Clock::duration after, std::function<void()> start,
        std::function<void()> woken);
  Holds(const Holds&) = delete;
  Holds& operator=(const Holds&) = delete;
  ~Holds();

  // The reports for the next source to be added (a source is given them
  // when it is made, and added right after).
  HoldSource::Reports NextReports();
  void Add(std::unique_ptr<HoldSource> source);

  // The watcher's reports.
  void Idle();
  void Active();

  bool held() const { return gate_.held(); }

 private:
  void Apply(const HoldGate::Step& step);

  std::function<void()> start_;
  std::function<void()> woken_;
  HoldGate gate_;
  std::vector<std::unique_ptr<HoldSource>> sources_;
  std::vector<int> numbers_;  // each source's number in the gate
  Waiter::Registration deadline_;
};

}  // namespace ostrel
