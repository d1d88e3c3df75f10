#include "idle/gnome/gnome_idle_watcher.h"

#include <algorithm>

#include "platform/platform_error.h"
#include "platform/posix/process_control.h"

namespace ostrel {
namespace {

constexpr const char* kMonitor = "org.gnome.Mutter.IdleMonitor";
constexpr const char* kMonitorPath = "/org/gnome/Mutter/IdleMonitor/Core";
// org.gnome.SessionManager's inhibit flag for "idle" (the session being
// marked idle, which is what starts screen savers).
constexpr std::uint32_t kInhibitIdle = 8;
// Start-up questions and the session's answers: a desktop that does not
// answer this fast is treated as not holding the saver off.
constexpr auto kStartupTimeout = std::chrono::seconds(2);
constexpr auto kQuestionTimeout = std::chrono::seconds(2);

const std::string kOwnerRule = std::string(
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='") + kMonitor + "'";

}  // namespace

std::unique_ptr<GnomeIdleWatcher> GnomeIdleWatcher::Open(Waiter& waiter,
                                                         std::chrono::milliseconds after,
                                                         Reports reports) {
  std::unique_ptr<dbus::Connection> session;
  try {
    session = dbus::Connection::OpenSession();
  } catch (const PlatformError& failure) {
    throw PlatformError(std::string("no GNOME idle monitor (") + failure.what() + ")");
  }
  std::unique_ptr<dbus::Connection> system;
  try {
    system = dbus::Connection::OpenSystem();
  } catch (const PlatformError&) {
    // Without a system bus only logind's lock goes unasked.
  }
  return OpenOn(waiter, std::move(session), std::move(system), after, std::move(reports));
}

std::unique_ptr<GnomeIdleWatcher> GnomeIdleWatcher::OpenOn(
    Waiter& waiter, std::unique_ptr<dbus::Connection> session,
    std::unique_ptr<dbus::Connection> system, std::chrono::milliseconds after, Reports reports) {
  int owned = 0;
  try {
    auto has_owner = session->NewMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                            "org.freedesktop.DBus", "NameHasOwner");
    sd_bus_message_append(has_owner.get(), "s", kMonitor);
    const dbus::Message answer = session->Call(has_owner, kStartupTimeout);
    if (sd_bus_message_read(answer.get(), "b", &owned) < 0) {
      throw PlatformError("the answer is no boolean");
    }
  } catch (const PlatformError& failure) {
    throw PlatformError(std::string("no GNOME idle monitor (the session bus did not answer: ") +
                        failure.what() + ")");
  }
  if (owned == 0) {
    throw PlatformError(std::string("no GNOME idle monitor (") + kMonitor + ") on the session bus");
  }
  std::unique_ptr<GnomeIdleWatcher> watcher(new GnomeIdleWatcher(
      waiter, std::move(session), std::move(system), after, std::move(reports)));
  // The watch's id is known before the loop starts: a monitor that refuses
  // it is found out here.
  auto add = watcher->session_->NewMethodCall(kMonitor, kMonitorPath, kMonitor, "AddIdleWatch");
  sd_bus_message_append(add.get(), "t", static_cast<std::uint64_t>(after.count()));
  std::uint32_t id = 0;
  try {
    const dbus::Message added = watcher->session_->Call(add, kStartupTimeout);
    if (sd_bus_message_read(added.get(), "u", &id) < 0) throw PlatformError("no id in the answer");
  } catch (const PlatformError& failure) {
    throw PlatformError(std::string("GNOME's idle monitor did not add the idle watch: ") +
                        failure.what());
  }
  watcher->idle_watch_ = id;
  if (watcher->fired_early_ == id) watcher->WatchFired(id);
  return watcher;
}

GnomeIdleWatcher::GnomeIdleWatcher(Waiter& waiter, std::unique_ptr<dbus::Connection> session,
                                   std::unique_ptr<dbus::Connection> system,
                                   std::chrono::milliseconds after, Reports reports)
    : IdleWatcher(std::move(reports)),
      session_(std::move(session)),
      system_(std::move(system)),
      after_(after) {
  // Both matches go to the bus before any call that could cause their signals.
  fired_match_ = session_->MatchSignal(kMonitor, kMonitorPath, kMonitor, "WatchFired",
                                       [this](sd_bus_message* signal) {
                                         std::uint32_t id = 0;
                                         if (sd_bus_message_read(signal, "u", &id) > 0) {
                                           WatchFired(id);
                                         }
                                       });
  owner_match_ = session_->MatchRule(kOwnerRule, [this](sd_bus_message* signal) {
    const char* name = nullptr;
    const char* old_owner = nullptr;
    const char* new_owner = nullptr;
    if (sd_bus_message_read(signal, "sss", &name, &old_owner, &new_owner) > 0) {
      MonitorOwnerChanged(new_owner);
    }
  });
  // The session bus is the watcher's life; the time to ask again while held
  // off is its deadline too.
  Watch(waiter, Waiter::Source::kSessionBus,
        {.fd = session_->PollFd().fd,
         .prepare = [this] { return session_->PollFd().events; },
         .due =
             [this] {
               std::optional<TimePoint> due = session_->Deadline();
               if (const auto again = AskAgainAt(); again && (!due || *again < *due)) due = again;
               return due;
             },
         .ready =
             [this](short) {
               session_->Process();
               if (const auto again = AskAgainAt(); again && Clock::now() >= *again) AskSession();
             }});
  if (system_) {
    system_watch_ = waiter.Add(Waiter::Source::kSystemBus,
                               {.fd = system_->PollFd().fd,
                                .prepare = [this] { return system_->PollFd().events; },
                                .due = [this] { return system_->Deadline(); },
                                .ready = [this](short) { ProcessSystemBus(); }});
  }
}

GnomeIdleWatcher::~GnomeIdleWatcher() {
  system_watch_.Reset();
  // Slots go before their connections.
  for (Question& question : questions_) question.call.Reset();
  add_call_.Reset();
  active_call_.Reset();
  fired_match_.Reset();
  owner_match_.Reset();
}

dbus::Message GnomeIdleWatcher::NewCall(dbus::Connection& bus, const char* destination,
                                        const char* path, const char* interface,
                                        const char* member) {
  dbus::Message call = bus.NewMethodCall(destination, path, interface, member);
  // A service that is not running is not started for the question.
  sd_bus_message_set_auto_start(call.get(), 0);
  return call;
}

void GnomeIdleWatcher::AddIdleWatch() {
  auto add = session_->NewMethodCall(kMonitor, kMonitorPath, kMonitor, "AddIdleWatch");
  sd_bus_message_append(add.get(), "t", static_cast<std::uint64_t>(after_.count()));
  add_call_ = session_->CallAsync(add, kStartupTimeout, [this](const dbus::Reply& reply) {
    std::uint32_t id = 0;
    if (!reply.ok() || sd_bus_message_read(reply.message, "u", &id) < 0) {
      throw PlatformError("GNOME's idle monitor did not add the idle watch: " +
                          reply.error_name + " " + reply.error_message);
    }
    idle_watch_ = id;
    if (fired_early_ == id) WatchFired(id);
  });
}

void GnomeIdleWatcher::MonitorOwnerChanged(const std::string& owner) {
  // The old watches died with the old owner.
  idle_watch_ = 0;
  active_watch_ = 0;
  fired_early_.reset();
  active_call_.Reset();
  for (Question& question : questions_) question = Question{};
  state_ = State::kWatching;
  if (!owner.empty()) AddIdleWatch();
}

void GnomeIdleWatcher::WatchFired(std::uint32_t id) {
  if (idle_watch_ == 0) {
    fired_early_ = id;
    return;
  }
  if (id == idle_watch_) {
    // Also while held off: the user was back (perhaps before the active
    // watch was added) and went idle again.
    if (state_ != State::kAsking) AskSession();
  } else if (id == active_watch_) {
    // The user is back: the next idle time starts afresh.
    active_watch_ = 0;
    for (Question& question : questions_) question = Question{};
    state_ = State::kWatching;
    ReportActive();
  }
}

void GnomeIdleWatcher::AskSession() {
  state_ = State::kAsking;
  holds_off_ = false;
  auto inhibited = NewCall(*session_, "org.gnome.SessionManager", "/org/gnome/SessionManager",
                           "org.gnome.SessionManager", "IsInhibited");
  sd_bus_message_append(inhibited.get(), "u", kInhibitIdle);
  Ask(questions_[0], *session_, std::move(inhibited), false);
  Ask(questions_[1], *session_,
      NewCall(*session_, "org.gnome.ScreenSaver", "/org/gnome/ScreenSaver",
              "org.gnome.ScreenSaver", "GetActive"),
      false);
  if (system_) {
    // "auto": the caller's session, or the user's graphical one for a
    // process outside any session (a systemd user service).
    auto locked = NewCall(*system_, "org.freedesktop.login1", "/org/freedesktop/login1/session/auto",
                          "org.freedesktop.DBus.Properties", "Get");
    sd_bus_message_append(locked.get(), "ss", "org.freedesktop.login1.Session", "LockedHint");
    Ask(questions_[2], *system_, std::move(locked), true);
  }
}

void GnomeIdleWatcher::Ask(Question& question, dbus::Connection& bus, dbus::Message call,
                           bool is_variant) {
  question.pending = true;
  question.call = bus.CallAsync(call, kQuestionTimeout, [this, &question, is_variant](
                                                            const dbus::Reply& reply) {
    int yes = 0;
    if (reply.ok()) {
      const int read = is_variant ? sd_bus_message_read(reply.message, "v", "b", &yes)
                                  : sd_bus_message_read(reply.message, "b", &yes);
      if (read < 0) yes = 0;
    }
    // An error (the service is absent, or did not answer) holds nothing off.
    Answered(question, yes != 0);
  });
}

void GnomeIdleWatcher::Answered(Question& question, bool holds_off) {
  question.pending = false;
  holds_off_ = holds_off_ || holds_off;
  if (state_ != State::kAsking ||
      std::any_of(std::begin(questions_), std::end(questions_),
                  [](const Question& q) { return q.pending; })) {
    return;
  }
  // Either way the user's return is watched for: while held off it starts
  // the next idle time afresh; once reported, the launcher's other holds
  // learn that the user is back.
  AddActiveWatch();
  if (!holds_off_) {
    state_ = State::kWatching;
    ReportIdle();
    return;
  }
  state_ = State::kHeldOff;
  ask_again_ = Clock::now() + after_;
}

void GnomeIdleWatcher::AddActiveWatch() {
  if (active_watch_ != 0 || active_call_) return;
  active_call_ = session_->CallAsync(
      session_->NewMethodCall(kMonitor, kMonitorPath, kMonitor, "AddUserActiveWatch"),
      kQuestionTimeout, [this](const dbus::Reply& reply) {
        std::uint32_t id = 0;
        if (reply.ok() && sd_bus_message_read(reply.message, "u", &id) > 0) active_watch_ = id;
        active_call_.Reset();
      });
}

std::optional<TimePoint> GnomeIdleWatcher::AskAgainAt() const {
  if (state_ == State::kHeldOff) return ask_again_;
  return std::nullopt;
}

std::optional<SessionBlanking> GnomeIdleWatcher::Blanking() {
  const auto answer = CommandOutput({"gsettings", "get", "org.gnome.desktop.session", "idle-delay"},
                                    kStartupTimeout);
  const auto seconds = answer ? ParseGsettingsSeconds(*answer) : std::nullopt;
  if (!seconds) return std::nullopt;
  return SessionBlanking{*seconds,
                         "gsettings set org.gnome.desktop.session idle-delay SECONDS, 0 for never"};
}

void GnomeIdleWatcher::ProcessSystemBus() {
  if (!system_) return;
  try {
    system_->Process();
  } catch (const PlatformError&) {
    // Without the system bus only logind's lock goes unasked; its question
    // holds nothing off.
    Question& locked = questions_[2];
    locked.call.Reset();
    system_watch_.Reset();
    system_.reset();
    if (locked.pending) Answered(locked, false);
  }
}

}  // namespace ostrel
