#include "platform/wayland/bus_wait.h"

#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "platform/dbus/dbus_connection.h"
#include "platform/platform_error.h"
#include "platform/posix/end_signals.h"
#include "platform/posix/monotonic_clock.h"
#include "platform/wayland/wl_connection.h"

namespace ostrel {

WaitEnd WaitForBus(dbus::Connection& bus, wl_display* display, const std::function<bool()>& done,
                   std::int64_t deadline_ns, std::span<pollfd> extra,
                   const std::function<void(const pollfd&)>& on_ready) {
  bus.Process();
  std::vector<pollfd> fds;
  for (;;) {
    if (done()) return WaitEnd::kDone;
    const std::int64_t now = MonotonicNs();
    if (now >= deadline_ns) return WaitEnd::kDeadline;
    std::int64_t wait = deadline_ns - now;
    if (const auto due = bus.Deadline()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::nanoseconds>(*due - dbus::Clock::now()).count();
      wait = std::clamp<std::int64_t>(left, 0, wait);
    }
    const bool flushed = Flush(display);
    fds.clear();
    fds.push_back(bus.PollFd());
    fds.push_back(
        {wl_display_get_fd(display), static_cast<short>(POLLIN | (flushed ? 0 : POLLOUT)), 0});
    fds.push_back({EndSignalFd(), POLLIN, 0});
    fds.insert(fds.end(), extra.begin(), extra.end());
    const timespec timeout{wait / 1'000'000'000, wait % 1'000'000'000};
    if (ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0 && errno != EINTR) {
      throw PlatformError(std::string("waiting for D-Bus failed: ") + std::strerror(errno));
    }
    if (fds[2].revents != 0) return WaitEnd::kEndSignal;
    ReadAndDispatch(display, fds[1].revents);
    bus.Process();
    for (std::size_t i = 0; i < extra.size(); ++i) {
      extra[i].revents = fds[3 + i].revents;
      if (extra[i].revents != 0 && on_ready) on_ready(extra[i]);
    }
  }
}

}  // namespace ostrel
