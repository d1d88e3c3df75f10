#pragma once

// The launcher's one loop: ppoll on the signal descriptor and the session's
// descriptors, until the next deadline of the launcher (a saver's stop grace)
// or of the watcher (a D-Bus call's timeout). What comes in goes to the
// Launcher, and its steps are carried out here: the saver started, signalled
// or killed, lines written to stderr, the end.

#include "idle/idle_watcher.h"
#include "idle/launcher.h"
#include "idle/posix/launcher_signals.h"
#include "idle/posix/saver_process.h"

namespace ostrel {

class LauncherLoop {
 public:
  LauncherLoop(Launcher& launcher, SaverProcess& saver) : launcher_(launcher), saver_(saver) {}

  // What the watcher calls when the session has become idle. The idle time
  // is taken by Run, so a watcher may report it while it is being opened.
  IdleWatcher::IdleHandler IdleHandler();
  // Runs until the launcher ends; returns its exit status.
  int Run(IdleWatcher& watcher, LauncherSignals& signals);

 private:
  void Apply(const LauncherStep& step);
  void Dispatch(IdleWatcher& watcher, const pollfd* ready, std::size_t count);

  Launcher& launcher_;
  SaverProcess& saver_;
  bool idle_pending_ = false;
  bool watching_ = true;  // false once the session's connection is lost
  bool done_ = false;
  int status_ = 0;
};

}  // namespace ostrel
