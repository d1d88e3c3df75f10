#pragma once

// The launcher's decisions, as plain state: told what happened (the session
// became idle, the saver ended, a signal came, the session's connection was
// lost, a deadline passed), it answers with what to do next. The poll loop
// (idle/posix/launcher_loop.cpp) carries the steps out.
//
// Watching --idle--> Running --saver ended--> Watching (the next idle time
// starts it again; a failure is logged, and three in a row within a minute end
// the launcher with status 1).
// An ending signal while the saver runs stops the saver first (SIGTERM, then
// SIGKILL after kStopGrace or at a second signal), and the launcher ends
// with status 0 once it is gone; while watching it ends at once.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "idle/failure_streak.h"
#include "platform/clock.h"

namespace ostrel {

// How a run of the saver ended: whether it failed (a status other than 0, or
// a signal), and in words ("ended with status 1").
struct SaverEnd {
  bool failed = false;
  std::string description;
};

struct LauncherStep {
  enum class Action { kNone, kStartSaver, kStopSaver, kKillSaver, kExit };
  Action action = Action::kNone;
  int exit_status = 0;            // with kExit
  std::vector<std::string> log;   // lines for stderr, without the program's name
};

class Launcher {
 public:
  // How long a saver sent SIGTERM has before it is killed.
  static constexpr std::chrono::seconds kStopGrace{5};

  // `saver` names the saver in the log (its path).
  explicit Launcher(std::string saver) : saver_(std::move(saver)) {}

  // The session has been idle for the time asked.
  LauncherStep Idle(TimePoint now);
  // The saver could not be started at all (kStartSaver failed): counted as a
  // failed run.
  LauncherStep StartFailed(TimePoint now, const std::string& reason);
  LauncherStep SaverEnded(TimePoint now, const SaverEnd& end);
  // SIGTERM, SIGINT or SIGHUP.
  LauncherStep EndSignal(TimePoint now);
  // An application simulated input (SimulateUserActivity): a running saver
  // is stopped as input would end it; its end then is no failure.
  LauncherStep Wake(TimePoint now);
  // The session's connection is gone: nothing can be watched any more.
  LauncherStep WatchLost(TimePoint now, const std::string& reason);
  // When DeadlinePassed must be called; nullopt when nothing waits on time.
  std::optional<TimePoint> Deadline() const;
  LauncherStep DeadlinePassed(TimePoint now);

  bool saver_running() const { return state_ == State::kRunning || state_ == State::kStopping; }

 private:
  enum class State { kWatching, kRunning, kStopping, kDone };
  LauncherStep Stop(TimePoint now, int status);
  LauncherStep Failed(TimePoint now, const std::string& what);

  std::string saver_;
  State state_ = State::kWatching;
  FailureStreak streak_;
  TimePoint stop_sent_{};
  bool kill_sent_ = false;
  bool woken_ = false;   // the running saver was sent SIGTERM by Wake
  int exit_status_ = 0;  // once stopping
};

}  // namespace ostrel
