#pragma once

// The compositor's connection: connecting with libwayland's messages kept
// for the program's one line, a bounded wait for a condition that its events
// make true, and the failure report of a broken connection.

#include <cstdint>
#include <functional>
#include <string>

struct wl_display;

namespace ostrel {

// Connects to the compositor the environment names (WAYLAND_DISPLAY). When
// none answers, returns null and says why in `error`, with libwayland's own
// message (such as the missing XDG_RUNTIME_DIR of an X11 session) in it
// rather than printed. From then on libwayland's messages are printed as
// the program's own lines, "`program`: Wayland: ...".
wl_display* ConnectToCompositor(const char* program, std::string* error);

// Why the connection failed, for a PlatformError: the protocol error when
// the compositor sent one, the system error otherwise.
std::string ConnectionFailure(wl_display* display);

// Sends what is queued and dispatches the compositor's events until `done`
// returns true or `deadline_ns` (MonotonicNs, posix/monotonic_clock.h)
// passes; returns done(). Throws
// PlatformError when the connection fails.
bool DispatchUntil(wl_display* display, const std::function<bool()>& done,
                   std::int64_t deadline_ns);

// Reads and dispatches what the compositor sent, without waiting: to be
// called when poll reports the display's descriptor. `revents` are poll's.
// Throws PlatformError when the connection fails or the compositor hung up.
void ReadAndDispatch(wl_display* display, short revents);

// Sends what is queued; true when everything went out, false when the socket
// is full (wait for POLLOUT and call again). Throws PlatformError on failure.
bool Flush(wl_display* display);

}  // namespace ostrel
