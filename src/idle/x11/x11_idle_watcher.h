#pragma once

// Idleness of an X11 session from the server's own count: the SYNC
// extension's IDLETIME system counter (milliseconds since the last input of
// any device; `xset s reset`, which is what `xdg-screensaver reset` and video
// players use to hold the screen saver off, sets it back to 0 as input does).
// One alarm on the counter, switched between two tests: "idle time >= the
// time asked" (reported, once), then "idle time below it" (activity), and
// back. Comparisons rather than transitions, so a session already idle long
// enough when the launcher starts is reported at once.

#include <X11/Xlib.h>
#include <X11/extensions/sync.h>

#include <chrono>
#include <memory>
#include <string>

#include "idle/posix/idle_watcher.h"

namespace ostrel {

class X11IdleWatcher final : public IdleWatcher {
 public:
  // Connects to DISPLAY (under a watchdog: a server that never answers ends
  // the launcher with a message), sets the alarm and registers the
  // connection in `waiter`. Throws NoDisplayServer when there is no display,
  // PlatformError when it has no SYNC extension or no IDLETIME counter.
  static std::unique_ptr<X11IdleWatcher> Open(Waiter& waiter, std::chrono::milliseconds after,
                                              Reports reports);
  ~X11IdleWatcher() override;
  // The X server's own screen saver timeout (xset s); off, it hides
  // xdg-screensaver's holds.
  std::optional<SessionBlanking> Blanking() override;
  // The server's suspensions and its saver turned off (x11_server_hold.h).
  std::unique_ptr<HoldSource> ServerHold() override;

 private:
  X11IdleWatcher(Display* display, int event_base, XSyncCounter idletime,
                 std::chrono::milliseconds after, Reports reports);
  // What the connection brought (`revents`, poll's).
  void Dispatch(short revents);
  // Sets the alarm's test: idle time >= after (waiting for idleness) or
  // idle time < after (waiting for activity).
  void Arm(bool for_idleness);
  void HandleEvents();

  Display* display_;
  int event_base_;
  XSyncCounter idletime_;
  std::chrono::milliseconds after_;
  XSyncAlarm alarm_ = 0;
  bool waiting_for_idleness_ = true;
};

}  // namespace ostrel
