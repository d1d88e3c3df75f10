#pragma once

// Waiting for an answer on D-Bus the way the backend's loop waits: the bus,
// the compositor's connection (its events dispatched meanwhile, for a
// compositor pings its clients) and the ending signals' pipe polled together,
// with a deadline. No second thread, no call that waits without one.

#include <poll.h>

#include <cstdint>
#include <functional>
#include <span>

struct wl_display;

namespace ostrel {

namespace dbus {
class Connection;
}

enum class WaitEnd { kDone, kDeadline, kEndSignal };

// Processes the bus and dispatches the compositor's events until `done()`
// or `deadline_ns` (MonotonicNs). `extra` descriptors (pipes being read) are
// polled too, and `on_ready` is called with each one that has events. An
// ending signal stops the wait and is left queued for the loop. Throws
// PlatformError when a connection fails.
WaitEnd WaitForBus(dbus::Connection& bus, wl_display* display, const std::function<bool()>& done,
                   std::int64_t deadline_ns, std::span<pollfd> extra = {},
                   const std::function<void(const pollfd&)>& on_ready = {});

}  // namespace ostrel
