#include "idle/launcher.h"

#include <utility>

namespace ostrel {
namespace {

LauncherStep Do(LauncherStep::Action action) {
  LauncherStep step;
  step.action = action;
  return step;
}

LauncherStep Exit(int status) {
  LauncherStep step = Do(LauncherStep::Action::kExit);
  step.exit_status = status;
  return step;
}

}  // namespace

LauncherStep Launcher::Idle(TimePoint /*now*/) {
  if (state_ != State::kWatching) return {};
  state_ = State::kRunning;
  woken_ = false;
  return Do(LauncherStep::Action::kStartSaver);
}

LauncherStep Launcher::StartFailed(TimePoint now, const std::string& reason) {
  if (state_ == State::kStopping) {
    state_ = State::kDone;
    return Exit(exit_status_);
  }
  if (state_ != State::kRunning) return {};
  return Failed(now, "cannot start " + saver_ + ": " + reason);
}

LauncherStep Launcher::SaverEnded(TimePoint now, const SaverEnd& end) {
  if (state_ == State::kStopping) {
    state_ = State::kDone;
    return Exit(exit_status_);
  }
  if (state_ != State::kRunning) return {};
  if (!end.failed || std::exchange(woken_, false)) {
    streak_.Record(now, false);
    state_ = State::kWatching;
    return {};
  }
  return Failed(now, saver_ + " " + end.description);
}

LauncherStep Launcher::Failed(TimePoint now, const std::string& what) {
  LauncherStep step;
  step.log.push_back(what);
  if (streak_.Record(now, true)) {
    step.log.push_back(saver_ + " failed " + std::to_string(FailureStreak::kLimit) +
                       " times in a row within a minute; giving up");
    step.action = LauncherStep::Action::kExit;
    step.exit_status = 1;
    state_ = State::kDone;
    return step;
  }
  state_ = State::kWatching;
  return step;
}

LauncherStep Launcher::EndSignal(TimePoint now) {
  switch (state_) {
    case State::kWatching:
      state_ = State::kDone;
      return Exit(0);
    case State::kRunning:
      return Stop(now, 0);
    case State::kStopping:
      // A second signal: the user does not want to wait for the grace time.
      if (!kill_sent_) {
        kill_sent_ = true;
        return Do(LauncherStep::Action::kKillSaver);
      }
      return {};
    case State::kDone:
      return {};
  }
  return {};
}

LauncherStep Launcher::Wake(TimePoint /*now*/) {
  if (state_ != State::kRunning || woken_) return {};
  woken_ = true;
  return Do(LauncherStep::Action::kStopSaver);
}

LauncherStep Launcher::WatchLost(TimePoint now, const std::string& reason) {
  LauncherStep step;
  switch (state_) {
    case State::kWatching:
      step = Exit(1);
      state_ = State::kDone;
      break;
    case State::kRunning:
      step = Stop(now, 1);
      break;
    case State::kStopping:
    case State::kDone:
      break;
  }
  step.log.insert(step.log.begin(), reason);
  return step;
}

LauncherStep Launcher::Stop(TimePoint now, int status) {
  state_ = State::kStopping;
  stop_sent_ = now;
  exit_status_ = status;
  return Do(LauncherStep::Action::kStopSaver);
}

std::optional<TimePoint> Launcher::Deadline() const {
  if (state_ == State::kStopping && !kill_sent_) return stop_sent_ + kStopGrace;
  return std::nullopt;
}

LauncherStep Launcher::DeadlinePassed(TimePoint now) {
  const auto deadline = Deadline();
  if (!deadline || now < *deadline) return {};
  kill_sent_ = true;
  LauncherStep step = Do(LauncherStep::Action::kKillSaver);
  step.log.push_back(saver_ + " did not end within " + std::to_string(kStopGrace.count()) +
                     " s of SIGTERM; killing it");
  return step;
}

}  // namespace ostrel
