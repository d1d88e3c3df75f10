#pragma once

// Idleness of a GNOME session (Wayland or X11) from mutter's idle monitor on
// the session bus (org.gnome.Mutter.IdleMonitor), which counts every input
// the compositor sees. GNOME lets applications hold the screen saver off
// through the session manager instead of through the monitor, so when the
// watch fires the session is asked first, and the saver is held off while
//   - org.gnome.SessionManager.IsInhibited(8) says idling is inhibited (a
//     video playing, a presentation),
//   - org.gnome.ScreenSaver.GetActive says GNOME's own shield is up (the
//     screen is blanked or locked), or
//   - logind's LockedHint says the session is locked.
// Services that are not there count as not holding it off. While held off,
// the questions are asked again every idle time, until the user comes back
// (a user-active watch) and the next idle time starts afresh.
//
// A monitor that leaves the bus and comes back (gnome-shell restarted) gets
// its idle watch again.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "idle/posix/idle_watcher.h"
#include "platform/dbus/dbus_connection.h"

namespace ostrel {

class GnomeIdleWatcher final : public IdleWatcher {
 public:
  // On the session bus, when mutter's idle monitor is there, its buses
  // registered in `waiter`; throws PlatformError with the reason otherwise.
  // The system bus (logind) is optional.
  static std::unique_ptr<GnomeIdleWatcher> Open(Waiter& waiter, std::chrono::milliseconds after,
                                                Reports reports);
  // The same on given buses (tests); `system` may be null.
  static std::unique_ptr<GnomeIdleWatcher> OpenOn(Waiter& waiter,
                                                  std::unique_ptr<dbus::Connection> session,
                                                  std::unique_ptr<dbus::Connection> system,
                                                  std::chrono::milliseconds after,
                                                  Reports reports);
  ~GnomeIdleWatcher() override;

  // GNOME's screen-blank delay (org.gnome.desktop.session idle-delay), read
  // with gsettings.
  std::optional<SessionBlanking> Blanking() override;

 private:
  GnomeIdleWatcher(Waiter& waiter, std::unique_ptr<dbus::Connection> session,
                   std::unique_ptr<dbus::Connection> system, std::chrono::milliseconds after,
                   Reports reports);
  enum class State {
    kWatching,  // for the idle watch to fire
    kAsking,    // the session whether anything holds the saver off
    kHeldOff,   // until the user comes back, or the time to ask again
  };
  // One question to the session, in flight or answered.
  struct Question {
    dbus::Slot call;
    bool pending = false;
  };

  dbus::Message NewCall(dbus::Connection& bus, const char* destination, const char* path,
                        const char* interface, const char* member);
  void AddIdleWatch();
  void WatchFired(std::uint32_t id);
  void MonitorOwnerChanged(const std::string& owner);
  void AskSession();
  void Ask(Question& question, dbus::Connection& bus, dbus::Message call, bool is_variant);
  void Answered(Question& question, bool holds_off);
  // A user-active watch, unless one is there or on its way.
  void AddActiveWatch();
  // The system bus's handler: without it only logind's lock goes unasked.
  void ProcessSystemBus();
  // The time to ask again while held off.
  std::optional<TimePoint> AskAgainAt() const;

  std::unique_ptr<dbus::Connection> session_;
  std::unique_ptr<dbus::Connection> system_;
  Waiter::Registration system_watch_;
  std::chrono::milliseconds after_;
  dbus::Slot fired_match_;
  dbus::Slot owner_match_;
  dbus::Slot add_call_;
  dbus::Slot active_call_;
  State state_ = State::kWatching;
  std::uint32_t idle_watch_ = 0;    // 0: not known (yet)
  std::uint32_t active_watch_ = 0;  // registered once held off; 0: none
  std::optional<std::uint32_t> fired_early_;  // fired before AddIdleWatch answered
  // IsInhibited, GetActive, LockedHint; whether an answer so far holds off.
  Question questions_[3];
  bool holds_off_ = false;
  TimePoint ask_again_{};  // while held off
};

}  // namespace ostrel
