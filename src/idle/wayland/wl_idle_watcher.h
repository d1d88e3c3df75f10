#pragma once

// Idleness of a Wayland session from the compositor: one
// ext_idle_notification_v1 on the first seat with the time asked. The
// compositor sends `idled` once the seat has had no input for that long
// (counted from the notification's creation, and not while an application
// inhibits idling), and `resumed` at the next input.

#include <chrono>
#include <cstdint>
#include <memory>

#include "idle/posix/idle_watcher.h"

struct wl_display;
struct wl_registry;
struct wl_seat;
struct ext_idle_notifier_v1;
struct ext_idle_notification_v1;

namespace ostrel {

class WaylandIdleWatcher final : public IdleWatcher {
 public:
  // Connects to the session's compositor and registers the connection in
  // `waiter`. Throws NoDisplayServer when none answers (none is there, or it
  // said nothing within kDisplayServerPatience), and PlatformError when it
  // offers no ext_idle_notifier_v1 or no seat.
  static std::unique_ptr<WaylandIdleWatcher> Open(Waiter& waiter, std::chrono::milliseconds after,
                                                  Reports reports);
  ~WaylandIdleWatcher() override;

 private:
  friend struct WaylandIdleWatcherListeners;
  WaylandIdleWatcher(wl_display* display, Reports reports);
  void OnGlobal(wl_registry* registry, std::uint32_t name, const char* interface,
                std::uint32_t version);

  wl_display* display_;
  wl_registry* registry_ = nullptr;
  wl_seat* seat_ = nullptr;
  ext_idle_notifier_v1* notifier_ = nullptr;
  ext_idle_notification_v1* notification_ = nullptr;
};

}  // namespace ostrel
