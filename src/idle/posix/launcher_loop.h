#pragma once

// The launcher's one wait: the Waiter, holding the signal descriptor, the
// launcher's deadline (a saver's stop grace) and the session's connections,
// which the watcher registers in it. What comes in goes to the Launcher, and
// its steps are carried out here: the saver started, signalled or killed,
// lines written to stderr, the end.

#include "idle/posix/idle_watcher.h"
#include "idle/launcher.h"
#include "idle/posix/launcher_signals.h"
#include "idle/posix/saver_process.h"
#include "platform/posix/waiter.h"

namespace ostrel {

class LauncherLoop {
 public:
  LauncherLoop(Launcher& launcher, SaverProcess& saver) : launcher_(launcher), saver_(saver) {}

  // The wait the watcher registers the session's connections in.
  Waiter& waiter() { return waiter_; }
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
  bool idle_pending_ = false;
  bool done_ = false;
  int status_ = 0;
};

}  // namespace ostrel
