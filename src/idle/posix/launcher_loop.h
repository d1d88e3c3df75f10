#pragma once

// The launcher's one wait: the Waiter, holding the signal descriptor, the
// launcher's deadline (a saver's stop grace), the session's connections,
// which the watcher registers in it, and the holds' sources. The watcher's
// idle time goes through the holds; what comes out goes to the Launcher,
// and its steps are carried out here: the saver started, signalled or
// killed, lines written to stderr, the end.

#include <memory>

#include "idle/posix/holds.h"
#include "idle/posix/idle_watcher.h"
#include "idle/launcher.h"
#include "idle/posix/launcher_signals.h"
#include "idle/posix/saver_process.h"
#include "platform/posix/waiter.h"

namespace ostrel {

class LauncherLoop {
 public:
  LauncherLoop(Launcher& launcher, SaverProcess& saver, Clock::duration after);

  // The wait the watcher registers the session's connections in.
  Waiter& waiter() { return waiter_; }
  // Where the sources that can hold the saver off are added.
  Holds& holds() { return *holds_; }
  bool saver_running() const { return launcher_.saver_running(); }
  // What the watcher reports to. The idle time is taken by Run, so a watcher
  // may report it while it is being opened.
  IdleWatcher::Reports Reports();
  // Runs until the launcher ends; returns its exit status.
  int Run(LauncherSignals& signals);

 private:
  void Apply(const LauncherStep& step);
  void Signalled(LauncherSignals& signals);

  Launcher& launcher_;
  SaverProcess& saver_;
  Waiter waiter_;
  std::unique_ptr<Holds> holds_;  // after the wait: it leaves it first
  bool idle_pending_ = false;
  bool start_pending_ = false;
  bool wake_pending_ = false;
  bool done_ = false;
  int status_ = 0;
};

}  // namespace ostrel
