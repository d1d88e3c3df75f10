#pragma once

// The X server's own ways of holding a screen saver off, asked when the
// idle time is reached (the X server signals neither):
//   - a client's MIT-SCREEN-SAVER suspension (XScreenSaverSuspend: SDL,
//     games, some players), which the server keeps as a "SaverSuspend"
//     resource of that client: X-Resource lists it, for any client;
//   - the server's screen saver turned off after the launcher started
//     (xset s off by `xdg-screensaver suspend` in a session without a
//     desktop of its own, or by a power manager's granted inhibit). A
//     timeout already off when the launcher starts is the user's own
//     setting: it holds nothing off (and hides xdg-screensaver's holds,
//     which the start-up line says).

#include <X11/Xlib.h>

#include "idle/posix/hold_source.h"

namespace ostrel {

class X11ServerHold final : public HoldSource {
 public:
  // On the idle watcher's connection; reads the server's screen saver
  // timeout now, as the user's setting.
  explicit X11ServerHold(Display* display);

  bool Signalled() const override { return false; }
  void Ask(Answer answer) override;

  // Whether the user's setting leaves the server's saver on (a timeout).
  bool timeout_at_start() const { return timeout_at_start_ > 0; }

 private:
  // How many clients suspend the server's saver; 0 without X-Resource.
  int SuspendingClients();

  Display* display_;
  int timeout_at_start_ = 0;
  bool has_xres_ = false;
  Atom suspend_type_ = None;
};

}  // namespace ostrel
