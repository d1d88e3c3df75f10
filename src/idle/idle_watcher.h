#pragma once

// What the launcher needs of a session: to be told each time it has been idle
// for the time asked. One implementation per kind of session (X11's SYNC idle
// time, Wayland's ext-idle-notify, GNOME's idle monitor over D-Bus), each
// driven by the launcher's one poll loop: it says which descriptors to wait
// on and until when, and handles what they bring.
//
// A watcher reports an idle time once: the session must see activity before
// it is reported again, so a saver that ends while the user is still away is
// not started again until the next idle time.

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include "idle/session_blanking.h"

namespace ostrel {

class IdleWatcher {
 public:
  using Clock = std::chrono::steady_clock;
  using IdleHandler = std::function<void()>;

  virtual ~IdleWatcher() = default;

  // Appends the descriptors to wait on next, with the events wanted.
  virtual void AddPollFds(std::vector<pollfd>* fds) = 0;
  // When Dispatch must run even if no descriptor is ready; nullopt when never.
  virtual std::optional<Clock::time_point> Deadline() = 0;
  // Handles what the descriptors brought: `ready` holds poll's results for
  // the descriptors AddPollFds appended, in its order. Calls the idle handler
  // given at construction when the session has become idle. Throws
  // PlatformError when the session's connection is lost.
  virtual void Dispatch(const pollfd* ready, std::size_t count) = 0;

  // When the session blanks the screen itself after its own idle time, and
  // how to change that; nothing when it does not say.
  virtual std::optional<SessionBlanking> Blanking() { return std::nullopt; }
};

}  // namespace ostrel
