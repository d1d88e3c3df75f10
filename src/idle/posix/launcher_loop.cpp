#include "idle/posix/launcher_loop.h"

#include <signal.h>

#include <exception>

#include "platform/posix/warning.h"

namespace ostrel {

LauncherLoop::LauncherLoop(Launcher& launcher, SaverProcess& saver, Clock::duration after)
    : launcher_(launcher),
      saver_(saver),
      holds_(std::make_unique<Holds>(
          waiter_, after, [this] { start_pending_ = true; }, [this] { wake_pending_ = true; })) {}

IdleWatcher::Reports LauncherLoop::Reports() {
  return {.idle = [this] { idle_pending_ = true; },
          .active =
              [this] {
                idle_pending_ = false;
                holds_->Active();
              },
          .lost = [this](const std::string& why) {
            Apply(launcher_.WatchLost(Clock::now(), why));
          }};
}

void LauncherLoop::Apply(const LauncherStep& step) {
  for (const std::string& line : step.log) Warn(line);
  switch (step.action) {
    case LauncherStep::Action::kNone:
      break;
    case LauncherStep::Action::kStartSaver: {
      std::string error;
      if (!saver_.Start(&error)) Apply(launcher_.StartFailed(Clock::now(), error));
      break;
    }
    case LauncherStep::Action::kStopSaver:
      saver_.Signal(SIGTERM);
      break;
    case LauncherStep::Action::kKillSaver:
      saver_.Signal(SIGKILL);
      break;
    case LauncherStep::Action::kExit:
      done_ = true;
      status_ = step.exit_status;
      break;
  }
}

void LauncherLoop::Signalled(LauncherSignals& signals) {
  const LauncherSignals::Received received = signals.Read();
  if (received.child) {
    if (const auto end = saver_.Reap()) Apply(launcher_.SaverEnded(Clock::now(), *end));
  }
  if (received.end && !done_) Apply(launcher_.EndSignal(Clock::now()));
}

int LauncherLoop::Run(LauncherSignals& signals) {
  const Waiter::Registration signal_watch = waiter_.Add(
      Waiter::Source::kSignals,
      {.fd = signals.fd(), .ready = [&](short) { Signalled(signals); }});
  const Waiter::Registration deadline_watch = waiter_.Add(
      Waiter::Source::kTimer, {.due = [this] { return launcher_.Deadline(); },
                               .ready = [this](short) {
                                 if (!done_) Apply(launcher_.DeadlinePassed(Clock::now()));
                               }});
  try {
    while (!done_) {
      // The idle time goes through the holds, which start the saver at once
      // or later; both are taken here, outside the handlers that report them.
      if (idle_pending_) {
        idle_pending_ = false;
        holds_->Idle();
        continue;
      }
      if (wake_pending_) {
        wake_pending_ = false;
        Apply(launcher_.Wake(Clock::now()));
        continue;
      }
      if (start_pending_) {
        start_pending_ = false;
        Apply(launcher_.Idle(Clock::now()));
        continue;
      }
      waiter_.WaitOnce(std::nullopt);
    }
  } catch (const std::exception& failure) {
    Warn(failure.what());
    // Stops the saver on the way out (SaverProcess's destructor).
    return 1;
  }
  return status_;
}

}  // namespace ostrel
