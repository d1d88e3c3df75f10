#pragma once

// The process that keeps the selection after the run. A compositor drops a
// selection when its owner disconnects, so the program forks a small process
// that inherits the connection and goes on answering requests for the data
// on it, while the program itself ends at once.

#include <functional>

#include "platform/posix/process_control.h"

struct wl_display;
struct wl_event_queue;

namespace ostrel {

// Forks the serving process. The child detaches from the caller (keeping only
// the display's fd), makes a queue of its own, calls `adopt` to move the
// clipboard's objects onto it, and dispatches that queue until `serving` turns
// false (our source was cancelled) or the compositor goes away, collecting
// `writers` as they end; then it exits. Only the clipboard's objects are
// dispatched there: the rest of the program's objects stay untouched in the
// child. Returns true in the caller when the child was started; reports
// failures on stderr and never throws.
bool ForkServer(wl_display* display, const std::function<void(wl_event_queue*)>& adopt,
                const bool& serving, TransferWriters& writers) noexcept;

}  // namespace ostrel
