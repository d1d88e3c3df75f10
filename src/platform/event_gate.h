#pragma once

// The one way a backend reports the window's events: every event goes
// through the window's gate.
//
// - Before the window is created and after it is closed, events are dropped:
//   a handler never runs for a window that does not exist, whatever the
//   system still delivers (a motion already queued, a tick due).
// - A handler's failure is kept rather than thrown into the frames of the
//   system that called the backend (a window procedure, a listener of
//   libwayland); the backend throws it again after the dispatch that met it,
//   and the ordinary error path ends the run. Until then, later events are
//   dropped too: the run is ending with its first failure.

#include <exception>

#include "platform/platform.h"

namespace ostrel {

class EventGate {
 public:
  // The window exists: events reach `window` from now on.
  void Open(WindowEvents& window) { window_ = &window; }
  // The window is closed: events are dropped from now on.
  void Close() { window_ = nullptr; }
  bool IsOpen() const { return window_ != nullptr; }

  void Timer1_Timer();
  void Form_KeyDown(int KeyCode, int Shift);
  void Form_MouseDown(int Button, int Shift, float X, float Y);
  void Form_MouseUp(int Button, int Shift, float X, float Y);
  void Form_MouseMove(int Button, int Shift, float X, float Y);
  void Form_SystemClose();

  // Throws the failure a handler met since the last call, if any (once).
  void RethrowFailure();

 private:
  template <typename Call>
  void Deliver(Call&& call);

  WindowEvents* window_ = nullptr;
  std::exception_ptr failure_;
};

}  // namespace ostrel
