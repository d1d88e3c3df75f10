#pragma once

// The signals that end the program (SIGINT, SIGTERM, SIGHUP), and a watchdog
// for calls that may wait forever on a display server that accepted the
// connection and does not answer (Xlib's XOpenDisplay, libwayland's first
// round trips).
//
// An ending signal always ends the program with status 0 and never leaves a
// hidden cursor or a window behind. What it does depends on the phase:
// - before the window's event loop can take it (from the first lines of main
//   until the platform is ready, X11 or Wayland), nothing is on the screen
//   yet: the process exits at once with status 0;
// - while the run lasts, the handler only writes a byte to a pipe that the
//   event loop watches, and the loop ends the run as user input would;
// - after the run (window gone, cursor shown) the process exits at once with
//   the run's status.
// SIGPIPE is ignored: writing to a closed pipe or socket fails with EPIPE and
// is reported as a failure, instead of killing the program.

#include "platform/posix/waiter.h"

namespace ostrel {

// Installs the handlers; call first thing in main. Idempotent.
void InstallEndSignals();
// From now on an ending signal is queued for the event loop.
void QueueEndSignals();
// From now on an ending signal ends the process at once with `status`.
void EndAtOnceOnSignal(int status);
// The pipe the event loop polls; readable when a signal was queued.
int EndSignalFd();
// Empties the pipe; true when a signal had been queued.
bool DrainEndSignals();
// Registers the pipe in `waiter`: a queued signal interrupts its wait, and
// the event loop ends the run as user input would.
[[nodiscard]] Waiter::Registration WatchEndSignals(Waiter& waiter);

// While alive, ends the process with status 1 after `milliseconds`, writing
// the program's name + ": " + `message` to stderr: for calls that nothing
// else can interrupt (an X server that accepts the connection and never
// answers, which XOpenDisplay would wait for forever). Nothing is on the
// screen while it is armed, so there is nothing to restore. One at a time.
class Watchdog {
 public:
  Watchdog(unsigned milliseconds, const char* message);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
};

}  // namespace ostrel
