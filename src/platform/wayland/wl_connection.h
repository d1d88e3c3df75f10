#pragma once

// The compositor's connection: connecting with libwayland's messages kept
// for the program's one line, the connection in the program's one wait (its
// events read and dispatched, its requests sent), a round trip with a
// deadline, and the failure report of a broken connection. Shared by ostrel
// and ostrel-idle.

#include <string>

#include "platform/clock.h"
#include "platform/posix/waiter.h"

struct wl_callback;
struct wl_display;

namespace ostrel {

// Connects to the compositor the environment names (WAYLAND_DISPLAY). When
// none answers, throws NoDisplayServer saying why, with libwayland's own
// message (such as the missing XDG_RUNTIME_DIR of an X11 session) in it
// rather than printed. From then on libwayland's messages are the program's
// own lines ("ostrel: Wayland: ...").
wl_display* ConnectToCompositor();

// Why the connection failed, for a PlatformError: the protocol error when
// the compositor sent one, the system error otherwise.
std::string ConnectionFailure(wl_display* display);

// The connection as a source of the wait: before every wait what is queued
// is dispatched and what is to be sent goes out (the wait is for POLLOUT too
// while the socket is full); what comes is read and dispatched. Failures are
// PlatformError, a hang-up included.
Waiter::Watch DisplayWatch(wl_display* display);
// Registers it in `waiter`.
[[nodiscard]] Waiter::Registration WatchDisplay(Waiter& waiter, wl_display* display);

// Sets `*flag` (false until then) when the compositor answers `callback`
// (a round trip's sync, a surface's frame).
void SetWhenDone(wl_callback* callback, bool* flag);

// Waits, in `waiter` (where the connection is registered), until the
// compositor has handled every request sent so far and sent its answers;
// false when that did not happen by `deadline` or the wait was interrupted.
bool Roundtrip(Waiter& waiter, wl_display* display, TimePoint deadline);

// Sends what is queued; true when everything went out, false when the socket
// is full (wait for POLLOUT and call again). Throws PlatformError on failure.
bool Flush(wl_display* display);

}  // namespace ostrel
