#pragma once

// What the launcher needs of a session: to be told each time it has been idle
// for the time asked. One implementation per kind of session (X11's SYNC idle
// time, Wayland's ext-idle-notify, GNOME's idle monitor over D-Bus), each
// registering its connections in the launcher's one wait (Waiter) and
// reporting from their handlers.
//
// A watcher reports an idle time once: the session must see activity before
// it is reported again, so a saver that ends while the user is still away is
// not started again until the next idle time.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "idle/posix/hold_source.h"
#include "idle/session_blanking.h"
#include "platform/posix/waiter.h"

namespace ostrel {

class IdleWatcher {
 public:
  // What a watcher tells the launcher, from its handlers.
  struct Reports {
    // The session has been idle for the time asked.
    std::function<void()> idle;
    // Input after an idle time was reported: the user is back (what holds
    // the saver off then no longer matters for this idle time). May be null.
    std::function<void()> active;
    // The session's connection is lost (or broken beyond use): nothing more
    // is watched, and its descriptors have left the wait.
    std::function<void(const std::string& why)> lost;
  };

  virtual ~IdleWatcher() = default;
  IdleWatcher(const IdleWatcher&) = delete;
  IdleWatcher& operator=(const IdleWatcher&) = delete;

  // When the session blanks the screen itself after its own idle time, and
  // how to change that; nothing when it does not say.
  virtual std::optional<SessionBlanking> Blanking() { return std::nullopt; }
  // What the display server itself says about holds, when it keeps any
  // (the X server's suspension); asked on the watcher's connection, so it
  // must not outlive the watcher's use.
  virtual std::unique_ptr<HoldSource> ServerHold() { return nullptr; }

 protected:
  explicit IdleWatcher(Reports reports) : reports_(std::move(reports)) {}

  // Registers one of the session's connections in `waiter`. What its
  // preparation or handler throws is the connection's loss: every source of
  // the watcher leaves the wait and `lost` is told.
  void Watch(Waiter& waiter, Waiter::Source source, Waiter::Watch watch);
  void ReportIdle() { reports_.idle(); }
  void ReportActive() {
    if (reports_.active) reports_.active();
  }

 private:
  void Lose(const std::exception& failure);

  Reports reports_;
  std::vector<Waiter::Registration> watches_;
  bool lost_ = false;
};

}  // namespace ostrel
