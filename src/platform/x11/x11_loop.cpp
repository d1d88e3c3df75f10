// The one loop of the X11 backend and the window's timer: ppoll on the X
// connection and the signal pipe, with a timeout to the next tick's absolute
// deadline.

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/posix/end_signals.h"
#include "platform/x11/x11_clock.h"
#include "platform/x11/x11_errors.h"
#include "platform/x11/x11_platform.h"

namespace ostrel {
namespace {

// X has no timer of its own, and the window's 1 ms would be far more often
// than anyone sees. The window ticks 64 times a second, every 15.625 ms (a
// whole number of nanoseconds, so the deadlines never round): the eye sees
// that as smooth motion, and a run costs one short wake-up a tick (well under
// one percent of a core). The trails advance one step a tick, so this rate is
// also their speed.
constexpr std::int64_t kTickPeriodNs = 15'625'000;

}  // namespace

void X11Platform::StartTimer() {
  timer_start_ = NowNs();
  ticks_due_ = 1;
}

std::int64_t X11Platform::NextDeadline() const { return timer_start_ + ticks_due_ * kTickPeriodNs; }

void X11Platform::RunMessageLoop() {
  const int x_fd = ConnectionNumber(display_);
  while (loaded_) {
    // Sleep until the next tick, an X event or a signal; when a tick is due
    // already, or events wait in Xlib's queue (where poll cannot see them),
    // only look without sleeping, so that signals and input are never starved
    // by ticks that run late. Whatever was sent is flushed already: by
    // XPending, by the tick, and by the handlers that end the run.
    const bool queued = XQLength(display_) > 0;
    std::int64_t wait = std::max<std::int64_t>(NextDeadline() - NowNs(), 0);
    if (queued || !exposed_.empty()) wait = 0;
    pollfd fds[2] = {{x_fd, POLLIN, 0}, {EndSignalFd(), POLLIN, 0}};
    const timespec timeout{wait / 1'000'000'000, wait % 1'000'000'000};
    if (ppoll(fds, 2, &timeout, nullptr) < 0 && errno != EINTR) {
      throw PlatformError(std::string("waiting for events failed: ") + std::strerror(errno));
    }
    if (fds[1].revents != 0 && DrainEndSignals()) events_->Form_SystemClose();
    if (loaded_ && (queued || fds[0].revents != 0)) DispatchXEvents();
    if (loaded_ && NowNs() >= NextDeadline()) Tick();
    if (loaded_ && !exposed_.empty()) PaintExposedBand();
    ThrowIfXErrorPending();
  }
}

void X11Platform::DoEvents() { ProcessPending(); }

void X11Platform::DispatchXEvents() {
  while (loaded_ && XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    Dispatch(event);
    ThrowIfXErrorPending();
  }
}

void X11Platform::ProcessPending() {
  DispatchXEvents();
  if (loaded_ && DrainEndSignals()) events_->Form_SystemClose();
  if (loaded_ && NowNs() >= NextDeadline()) Tick();
  ThrowIfXErrorPending();
}

void X11Platform::Tick() {
  // Tick n is due at a fixed time from the start, so late wake-ups never add up
  // to drift. After a long stall the missed ticks are dropped, not replayed in
  // a burst.
  const std::int64_t now = NowNs();
  ++ticks_due_;
  if (NextDeadline() <= now) ticks_due_ = (now - timer_start_) / kTickPeriodNs + 1;

  events_->Timer1_Timer();
  if (loaded_) PresentDirty();
  if (loaded_ && shown_ && (!pointer_grabbed_ || !keyboard_grabbed_)) RetryGrabs();
}

}  // namespace ostrel
