#include "idle/wayland/wl_idle_watcher.h"

#include <wayland-client.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>

#include "ext-idle-notify-v1-client-protocol.h"
#include "platform/platform_error.h"
#include "platform/posix/end_signals.h"
#include "platform/wayland/wl_connection.h"

namespace ostrel {
namespace {

// A compositor that accepts the connection and never answers is given up on.
constexpr unsigned kOpenTimeoutMs = 4500;

void SeatCapabilities(void*, wl_seat*, std::uint32_t) {}

constexpr wl_seat_listener kSeatListener = {
    .capabilities = SeatCapabilities,
    .name = nullptr,  // version 1 is bound: no names
};

}  // namespace

std::unique_ptr<WaylandIdleWatcher> WaylandIdleWatcher::Open(std::chrono::milliseconds after,
                                                             IdleHandler on_idle,
                                                             std::string* error,
                                                             bool* answered) {
  *answered = false;
  wl_display* display = ConnectToCompositor("ostrel-idle", error);
  if (display == nullptr) return nullptr;
  *answered = true;
  std::unique_ptr<WaylandIdleWatcher> watcher(new WaylandIdleWatcher(display, std::move(on_idle)));
  try {
    Watchdog watchdog(kOpenTimeoutMs,
                      "the Wayland compositor accepted the connection but did not answer",
                      "ostrel-idle");
    watcher->registry_ = wl_display_get_registry(display);
    static constexpr wl_registry_listener kRegistryListener = {
        .global = &WaylandIdleWatcher::Global,
        .global_remove = &WaylandIdleWatcher::GlobalRemove,
    };
    wl_registry_add_listener(watcher->registry_, &kRegistryListener, watcher.get());
    if (wl_display_roundtrip(display) < 0) throw PlatformError(ConnectionFailure(display));
    if (watcher->notifier_ == nullptr || watcher->seat_ == nullptr) {
      *error = std::string("the Wayland compositor offers no ") +
               (watcher->notifier_ == nullptr ? "ext_idle_notifier_v1 (idle notification)"
                                              : "seat");
      return nullptr;
    }
    watcher->notification_ = ext_idle_notifier_v1_get_idle_notification(
        watcher->notifier_, static_cast<std::uint32_t>(after.count()), watcher->seat_);
    static constexpr ext_idle_notification_v1_listener kNotificationListener = {
        .idled = &WaylandIdleWatcher::Idled,
        .resumed = &WaylandIdleWatcher::Resumed,
    };
    ext_idle_notification_v1_add_listener(watcher->notification_, &kNotificationListener,
                                           watcher.get());
    if (wl_display_roundtrip(display) < 0) throw PlatformError(ConnectionFailure(display));
  } catch (const std::exception& failure) {
    *error = failure.what();
    return nullptr;
  }
  return watcher;
}

WaylandIdleWatcher::WaylandIdleWatcher(wl_display* display, IdleHandler on_idle)
    : display_(display), on_idle_(std::move(on_idle)) {}

WaylandIdleWatcher::~WaylandIdleWatcher() {
  if (notification_ != nullptr) ext_idle_notification_v1_destroy(notification_);
  if (notifier_ != nullptr) ext_idle_notifier_v1_destroy(notifier_);
  if (seat_ != nullptr) wl_seat_destroy(seat_);
  if (registry_ != nullptr) wl_registry_destroy(registry_);
  wl_display_disconnect(display_);
}

void WaylandIdleWatcher::Global(void* data, wl_registry* registry, std::uint32_t name,
                                const char* interface, std::uint32_t version) {
  auto* self = static_cast<WaylandIdleWatcher*>(data);
  if (std::strcmp(interface, wl_seat_interface.name) == 0 && self->seat_ == nullptr) {
    self->seat_ = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    wl_seat_add_listener(self->seat_, &kSeatListener, self);
  } else if (std::strcmp(interface, ext_idle_notifier_v1_interface.name) == 0 &&
             self->notifier_ == nullptr) {
    self->notifier_ = static_cast<ext_idle_notifier_v1*>(
        wl_registry_bind(registry, name, &ext_idle_notifier_v1_interface, std::min(version, 1U)));
  }
}

void WaylandIdleWatcher::GlobalRemove(void*, wl_registry*, std::uint32_t) {}

void WaylandIdleWatcher::Idled(void* data, ext_idle_notification_v1*) {
  auto* self = static_cast<WaylandIdleWatcher*>(data);
  // Nothing is thrown through libwayland's frames: kept, thrown after the dispatch.
  try {
    self->on_idle_();
  } catch (...) {
    if (!self->failure_) self->failure_ = std::current_exception();
  }
}

void WaylandIdleWatcher::Resumed(void*, ext_idle_notification_v1*) {}

void WaylandIdleWatcher::AddPollFds(std::vector<pollfd>* fds) {
  fds->push_back(pollfd{wl_display_get_fd(display_),
                        static_cast<short>(POLLIN | (flush_pending_ ? POLLOUT : 0)), 0});
}

std::optional<IdleWatcher::Clock::time_point> WaylandIdleWatcher::Deadline() {
  return std::nullopt;
}

void WaylandIdleWatcher::Dispatch(const pollfd* ready, std::size_t count) {
  ReadAndDispatch(display_, count > 0 ? ready[0].revents : 0);
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  flush_pending_ = !Flush(display_);
}

}  // namespace ostrel
