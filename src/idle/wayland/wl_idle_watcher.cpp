#include "idle/wayland/wl_idle_watcher.h"

#include <wayland-client.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "ext-idle-notify-v1-client-protocol.h"
#include "platform/platform_error.h"
#include "platform/wayland/wl_connection.h"

namespace ostrel {

struct WaylandIdleWatcherListeners {
  static WaylandIdleWatcher& Of(void* data) { return *static_cast<WaylandIdleWatcher*>(data); }

  static constexpr wl_registry_listener kRegistry = {
      .global = [](void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                   std::uint32_t version) { Of(data).OnGlobal(registry, name, interface, version); },
      .global_remove = [](void*, wl_registry*, std::uint32_t) {},
  };

  static constexpr wl_seat_listener kSeat = {
      .capabilities = [](void*, wl_seat*, std::uint32_t) {},
      .name = nullptr,  // version 1 is bound: no names
  };

  // Called from the launcher's wait, where its report is taken after the
  // dispatch.
  static constexpr ext_idle_notification_v1_listener kNotification = {
      .idled = [](void* data, ext_idle_notification_v1*) { Of(data).ReportIdle(); },
      .resumed = [](void* data, ext_idle_notification_v1*) { Of(data).ReportActive(); },
  };
};

std::unique_ptr<WaylandIdleWatcher> WaylandIdleWatcher::Open(Waiter& waiter,
                                                             std::chrono::milliseconds after,
                                                             Reports reports) {
  std::unique_ptr<WaylandIdleWatcher> watcher(
      new WaylandIdleWatcher(ConnectToCompositor(), std::move(reports)));
  wl_display* display = watcher->display_;
  // While it opens, a failure is the opening's; from then on the session's
  // loss.
  Waiter::Registration opening = WatchDisplay(waiter, display);
  watcher->registry_ = wl_display_get_registry(display);
  wl_registry_add_listener(watcher->registry_, &WaylandIdleWatcherListeners::kRegistry,
                           watcher.get());
  if (!Roundtrip(waiter, display, Clock::now() + kDisplayServerPatience)) {
    throw NoDisplayServer("the Wayland compositor accepted the connection but did not answer");
  }
  if (watcher->notifier_ == nullptr || watcher->seat_ == nullptr) {
    throw PlatformError(std::string("the Wayland compositor offers no ") +
                        (watcher->notifier_ == nullptr ? "ext_idle_notifier_v1 (idle notification)"
                                                       : "seat"));
  }
  watcher->notification_ = ext_idle_notifier_v1_get_idle_notification(
      watcher->notifier_, static_cast<std::uint32_t>(after.count()), watcher->seat_);
  ext_idle_notification_v1_add_listener(
      watcher->notification_, &WaylandIdleWatcherListeners::kNotification, watcher.get());
  opening.Reset();
  watcher->Watch(waiter, Waiter::Source::kDisplay, DisplayWatch(display));
  return watcher;
}

WaylandIdleWatcher::WaylandIdleWatcher(wl_display* display, Reports reports)
    : IdleWatcher(std::move(reports)), display_(display) {}

WaylandIdleWatcher::~WaylandIdleWatcher() {
  if (notification_ != nullptr) ext_idle_notification_v1_destroy(notification_);
  if (notifier_ != nullptr) ext_idle_notifier_v1_destroy(notifier_);
  if (seat_ != nullptr) wl_seat_destroy(seat_);
  if (registry_ != nullptr) wl_registry_destroy(registry_);
  wl_display_disconnect(display_);
}

void WaylandIdleWatcher::OnGlobal(wl_registry* registry, std::uint32_t name,
                                  const char* interface, std::uint32_t version) {
  if (std::strcmp(interface, wl_seat_interface.name) == 0 && seat_ == nullptr) {
    seat_ = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    wl_seat_add_listener(seat_, &WaylandIdleWatcherListeners::kSeat, this);
  } else if (std::strcmp(interface, ext_idle_notifier_v1_interface.name) == 0 &&
             notifier_ == nullptr) {
    notifier_ = static_cast<ext_idle_notifier_v1*>(
        wl_registry_bind(registry, name, &ext_idle_notifier_v1_interface, std::min(version, 1U)));
  }
}

}  // namespace ostrel
