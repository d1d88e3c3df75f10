// The one loop of the Wayland backend: the Waiter, until the next tick's
// absolute deadline (TickTimer); after every wait, what the events leave to
// do.

#include <wayland-client.h>

#include "platform/wayland/cover/cover.h"
#include "platform/wayland/cover/frame_copies.h"
#include "platform/wayland/wayland_platform.h"
#include "platform/wayland/wl_connection.h"

namespace ostrel {

void WaylandPlatform::RunMessageLoop() {
  while (gate_.IsOpen()) {
    // Sleep until the next tick, an event or a signal.
    waiter_.WaitOnce(timer_.NextDeadline());
    AfterDispatch();
    if (gate_.IsOpen() && timer_.Due(Clock::now())) Tick();
  }
}

void WaylandPlatform::DoEvents() { ProcessPending(); }

void WaylandPlatform::ProcessPending() {
  waiter_.WaitOnce(Clock::now());
  AfterDispatch();
  if (gate_.IsOpen() && timer_.Due(Clock::now())) Tick();
}

bool WaylandPlatform::WaitFor(const std::function<bool()>& done, Clock::duration patience) {
  const Waiter::End end = waiter_.WaitUntil(done, Clock::now() + patience);
  AfterDispatch();
  return end == Waiter::End::kDone;
}

void WaylandPlatform::AfterDispatch() {
  gate_.RethrowFailure();
  // An ending signal ends the run as the system's close does.
  if (waiter_.Interrupted() && gate_.IsOpen()) gate_.Form_SystemClose();
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
  timer_.Advance(Clock::now());
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
