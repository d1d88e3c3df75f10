#pragma once

// Whether an idle session may start the saver, given what holds it off: an
// application's hold on the screen saver (a video playing), a desktop
// service's inhibit, logind's idle inhibitors, the X server's suspension.
// Plain state: the watcher's reports (idle, active), the holds' changes and
// answers, and the time come in; the gate answers with the next step: ask
// every source whether it holds now, or start the saver.
//
// Two kinds of source. A signalled one says each change (the launcher's own
// org.freedesktop.ScreenSaver, a power manager's HasInhibitChanged): while
// it holds, nothing is asked and nothing wakes until it lets go. An asked
// one has no reliable signal (the X server's suspension, logind's idle
// inhibitors): while it holds, it is asked again once an idle time.
//
// The saver starts one idle time after the last hold ended (or after
// SimulateUserActivity), or after the last input, whichever is later, and
// only when every source has answered that it holds nothing.

#include <optional>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace ostrel {

class HoldGate {
 public:
  struct Step {
    bool ask = false;    // ask every source (Answered for each, once)
    bool start = false;  // the session is idle and nothing holds: start the saver
  };

  explicit HoldGate(Clock::duration after) : after_(after) {}

  // A source, numbered from 0 in the order added.
  int AddSource(bool signalled);

  // The watcher's reports: idle for the time asked, and input afterwards.
  Step Idle(TimePoint now);
  void Active();
  // A source's change signal: it holds now, or has let go now.
  Step Changed(int source, bool held, TimePoint now);
  // An application's SimulateUserActivity: counts as input at `now`.
  Step Activity(TimePoint now);
  // A source's answer after Step::ask. Answers that come after the user is
  // back, or that were not asked for, only update what the source holds.
  Step Answered(int source, bool held, TimePoint now);

  // When DeadlinePassed must be called; nullopt when only a report, a change
  // or an answer can move the gate.
  std::optional<TimePoint> Deadline() const;
  Step DeadlinePassed(TimePoint now);

  bool held() const;

 private:
  struct Source {
    bool signalled = false;
    bool held = false;
    bool pending = false;  // asked, not answered yet
  };
  Step Decide(TimePoint now);
  bool Asking() const;
  bool HeldBy(bool signalled) const;

  Clock::duration after_;
  std::vector<Source> sources_;
  bool idle_ = false;     // reported idle, no input since
  bool started_ = false;  // the saver was started for this idle time
  TimePoint quiet_until_{};  // one idle time after the last hold ended
  TimePoint ask_again_{};    // while an asked source holds
};

// Whether logind's BlockInhibited ("shutdown:sleep:idle", colon-separated)
// names idle.
bool InhibitsIdle(std::string_view what);

}  // namespace ostrel
