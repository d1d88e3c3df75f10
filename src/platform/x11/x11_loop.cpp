// The one loop of the X11 backend and the window's timer: the Waiter (the X
// connection and the ending signals), until the next tick's absolute
// deadline (TickTimer).

#include "platform/posix/end_signals.h"
#include "platform/x11/x11_errors.h"
#include "platform/x11/x11_platform.h"

namespace ostrel {

void X11Platform::RunMessageLoop() {
  while (gate_.IsOpen()) {
    // Sleep until the next tick, an X event or a signal; with parts of the
    // window still to paint, only look without sleeping, so that signals and
    // input are never starved by the painting.
    waiter_.WaitOnce(exposed_.empty() ? timer_.NextDeadline() : Clock::now());
    AfterWait();
    if (gate_.IsOpen() && timer_.Due(Clock::now())) Tick();
    if (gate_.IsOpen() && !exposed_.empty()) PaintExposedBand();
    ThrowIfXErrorPending();
  }
}

void X11Platform::DoEvents() { ProcessPending(); }

void X11Platform::AfterWait() {
  gate_.RethrowFailure();
  // An ending signal ends the run as the system's close does.
  if (waiter_.Interrupted() && gate_.IsOpen()) gate_.Form_SystemClose();
  gate_.RethrowFailure();
}

void X11Platform::DispatchXEvents() {
  while (gate_.IsOpen() && XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    Dispatch(event);
    gate_.RethrowFailure();
    ThrowIfXErrorPending();
  }
}

void X11Platform::ProcessPending() {
  waiter_.WaitOnce(Clock::now());
  AfterWait();
  if (gate_.IsOpen() && timer_.Due(Clock::now())) Tick();
  ThrowIfXErrorPending();
}

void X11Platform::Tick() {
  timer_.Advance(Clock::now());
  gate_.Timer1_Timer();
  gate_.RethrowFailure();
  if (gate_.IsOpen()) PresentDirty();
  if (gate_.IsOpen() && shown_ && (!pointer_grabbed_ || !keyboard_grabbed_)) RetryGrabs();
  gate_.RethrowFailure();
}

}  // namespace ostrel
