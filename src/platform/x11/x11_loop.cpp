// The one loop of the X11 backend and the window's timer: ppoll on the X
// connection and the signal pipe, with a timeout to the next tick's absolute
// deadline (TickTimer).

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/posix/end_signals.h"
#include "platform/posix/monotonic_clock.h"
#include "platform/x11/x11_errors.h"
#include "platform/x11/x11_platform.h"

namespace ostrel {

void X11Platform::RunMessageLoop() {
  const int x_fd = ConnectionNumber(display_);
  while (gate_.IsOpen()) {
    // Sleep until the next tick, an X event or a signal; when a tick is due
    // already, or events wait in Xlib's queue (where poll cannot see them),
    // only look without sleeping, so that signals and input are never starved
    // by ticks that run late. Whatever was sent is flushed already: by
    // XPending, by the tick, and by the handlers that end the run.
    const bool queued = XQLength(display_) > 0;
    std::int64_t wait = std::max<std::int64_t>(timer_.NextDeadline() - MonotonicNs(), 0);
    if (queued || !exposed_.empty()) wait = 0;
    pollfd fds[2] = {{x_fd, POLLIN, 0}, {EndSignalFd(), POLLIN, 0}};
    const timespec timeout{wait / 1'000'000'000, wait % 1'000'000'000};
    if (ppoll(fds, 2, &timeout, nullptr) < 0 && errno != EINTR) {
      throw PlatformError(std::string("waiting for events failed: ") + std::strerror(errno));
    }
    if (fds[1].revents != 0 && DrainEndSignals()) gate_.Form_SystemClose();
    gate_.RethrowFailure();
    if (gate_.IsOpen() && (queued || fds[0].revents != 0)) DispatchXEvents();
    if (gate_.IsOpen() && timer_.Due(MonotonicNs())) Tick();
    if (gate_.IsOpen() && !exposed_.empty()) PaintExposedBand();
    ThrowIfXErrorPending();
  }
}

void X11Platform::DoEvents() { ProcessPending(); }

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
  DispatchXEvents();
  if (gate_.IsOpen() && DrainEndSignals()) gate_.Form_SystemClose();
  gate_.RethrowFailure();
  if (gate_.IsOpen() && timer_.Due(MonotonicNs())) Tick();
  ThrowIfXErrorPending();
}

void X11Platform::Tick() {
  timer_.Advance(MonotonicNs());
  gate_.Timer1_Timer();
  gate_.RethrowFailure();
  if (gate_.IsOpen()) PresentDirty();
  if (gate_.IsOpen() && shown_ && (!pointer_grabbed_ || !keyboard_grabbed_)) RetryGrabs();
  gate_.RethrowFailure();
}

}  // namespace ostrel
