// The one loop of the Wayland backend: ppoll on the display's descriptor and
// the signal pipe, with a timeout to the next tick's absolute deadline
// (TickTimer); after every dispatch, what the events leave to do.

#include <poll.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/posix/end_signals.h"
#include "platform/posix/monotonic_clock.h"
#include "platform/wayland/cover.h"
#include "platform/wayland/frame_copies.h"
#include "platform/wayland/wayland_platform.h"
#include "platform/wayland/wl_connection.h"

namespace ostrel {

void WaylandPlatform::RunMessageLoop() {
  const int display_fd = wl_display_get_fd(display_);
  while (gate_.IsOpen()) {
    // Sleep until the next tick, an event or a signal. What waits in the
    // queue already is dispatched first (poll cannot see it); a socket too
    // full to take all requests is written again as soon as it can.
    if (wl_display_dispatch_pending(display_) < 0) throw PlatformError(ConnectionFailure(display_));
    AfterDispatch();
    if (!gate_.IsOpen()) break;
    flush_pending_ = !Flush(display_);
    const std::int64_t wait = std::max<std::int64_t>(timer_.NextDeadline() - MonotonicNs(), 0);
    pollfd fds[2] = {{display_fd, static_cast<short>(POLLIN | (flush_pending_ ? POLLOUT : 0)), 0},
                     {EndSignalFd(), POLLIN, 0}};
    const timespec timeout{wait / 1'000'000'000, wait % 1'000'000'000};
    if (ppoll(fds, 2, &timeout, nullptr) < 0 && errno != EINTR) {
      throw PlatformError(std::string("waiting for events failed: ") + std::strerror(errno));
    }
    if (fds[1].revents != 0 && DrainEndSignals()) gate_.Form_SystemClose();
    if (gate_.IsOpen() && fds[0].revents != 0) ReadAndDispatch(display_, fds[0].revents);
    AfterDispatch();
    if (gate_.IsOpen() && timer_.Due(MonotonicNs())) Tick();
  }
}

void WaylandPlatform::DoEvents() { ProcessPending(); }

void WaylandPlatform::ProcessPending() {
  pollfd fd{wl_display_get_fd(display_), POLLIN, 0};
  flush_pending_ = !Flush(display_);
  if (poll(&fd, 1, 0) < 0 && errno != EINTR) {
    throw PlatformError(std::string("waiting for events failed: ") + std::strerror(errno));
  }
  ReadAndDispatch(display_, fd.revents);
  AfterDispatch();
  if (gate_.IsOpen() && DrainEndSignals()) gate_.Form_SystemClose();
  gate_.RethrowFailure();
  if (gate_.IsOpen() && timer_.Due(MonotonicNs())) Tick();
}

void WaylandPlatform::AfterDispatch() {
  gate_.RethrowFailure();
  if (!gate_.IsOpen() || !copies_) return;
  CoverNewAndChangedOutputs();
  FindCovers();
  // Every cover is closed (its outputs unplugged or turned off): nothing is
  // shown and no input can reach the window any more, so the run ends, as
  // when the system asks it to.
  if (CollectCovers(*copies_, frame_covers_, still_covers_)) gate_.Form_SystemClose();
  gate_.RethrowFailure();
}

void WaylandPlatform::Tick() {
  timer_.Advance(MonotonicNs());
  MoveBetweenFrameCopies();
  gate_.Timer1_Timer();
  gate_.RethrowFailure();
  if (gate_.IsOpen() && shown_) {
    copies_->Changed(drawing_->DirtyRects());
    drawing_->ClearDirtyRects();
    Present();
  }
}

}  // namespace ostrel
