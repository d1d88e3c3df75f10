#pragma once

// Idleness of a Wayland session from the compositor: one
// ext_idle_notification_v1 on the first seat with the time asked. The
// compositor sends `idled` once the seat has had no input for that long
// (counted from the notification's creation, and not while an application
// inhibits idling), and `resumed` at the next input.

#include <chrono>
#include <exception>
#include <memory>
#include <string>

#include "idle/idle_watcher.h"

struct wl_display;
struct wl_registry;
struct wl_seat;
struct ext_idle_notifier_v1;
struct ext_idle_notification_v1;

namespace ostrel {

class WaylandIdleWatcher final : public IdleWatcher {
 public:
  // Connects to the session's compositor. Null with the reason when none
  // answers (`*answered` false) or when it offers no ext_idle_notifier_v1 or
  // no seat (`*answered` true).
  static std::unique_ptr<WaylandIdleWatcher> Open(std::chrono::milliseconds after,
                                                  IdleHandler on_idle, std::string* error,
                                                  bool* answered);
  ~WaylandIdleWatcher() override;
  WaylandIdleWatcher(const WaylandIdleWatcher&) = delete;
  WaylandIdleWatcher& operator=(const WaylandIdleWatcher&) = delete;

  void AddPollFds(std::vector<pollfd>* fds) override;
  std::optional<Clock::time_point> Deadline() override;
  void Dispatch(const pollfd* ready, std::size_t count) override;

 private:
  WaylandIdleWatcher(wl_display* display, IdleHandler on_idle);
  static void Global(void* data, wl_registry* registry, std::uint32_t name,
                     const char* interface, std::uint32_t version);
  static void GlobalRemove(void* data, wl_registry* registry, std::uint32_t name);
  static void Idled(void* data, ext_idle_notification_v1* notification);
  static void Resumed(void* data, ext_idle_notification_v1* notification);

  wl_display* display_;
  IdleHandler on_idle_;
  wl_registry* registry_ = nullptr;
  wl_seat* seat_ = nullptr;
  ext_idle_notifier_v1* notifier_ = nullptr;
  ext_idle_notification_v1* notification_ = nullptr;
  bool flush_pending_ = false;  // the socket was full: poll for POLLOUT too
  std::exception_ptr failure_;  // the idle handler's, thrown after the dispatch
};

}  // namespace ostrel
