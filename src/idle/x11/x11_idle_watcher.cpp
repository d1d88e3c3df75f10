#include "idle/x11/x11_idle_watcher.h"

#include <cstdlib>
#include <cstring>

#include "idle/x11/x11_server_hold.h"
#include "platform/platform_error.h"
#include "platform/posix/end_signals.h"

namespace ostrel {
namespace {

// X's errors arrive through process-wide handlers: the first protocol error
// is kept for the next check, and a lost connection is noted instead of
// letting Xlib end the process (the loop must stop the saver first).
std::string pending_error;
bool connection_lost = false;

int KeepXError(Display* display, XErrorEvent* error) {
  if (pending_error.empty()) {
    char text[256] = {};
    XGetErrorText(display, error->error_code, text, sizeof text);
    pending_error = std::string("X protocol error: ") + text + " (request " +
                    std::to_string(error->request_code) + "." +
                    std::to_string(error->minor_code) + ")";
  }
  return 0;
}

int NoteIoError(Display* /*display*/) { return 0; }

void NoteLostConnection(Display* /*display*/, void* /*data*/) { connection_lost = true; }

void ThrowIfFailed() {
  if (connection_lost) throw PlatformError("lost the connection to the X server");
  if (!pending_error.empty()) {
    std::string message;
    message.swap(pending_error);
    throw PlatformError(message);
  }
}

XSyncValue Value(std::int64_t number) {
  XSyncValue value;
  XSyncIntsToValue(&value, static_cast<unsigned int>(number & 0xFFFFFFFF),
                   static_cast<int>(number >> 32));
  return value;
}

}  // namespace

std::unique_ptr<X11IdleWatcher> X11IdleWatcher::Open(Waiter& waiter,
                                                     std::chrono::milliseconds after,
                                                     Reports reports) {
  const char* name = std::getenv("DISPLAY");
  const std::string shown = name != nullptr ? name : "";
  const std::string silent = "the X server of display \"" + shown +
                             "\" accepted the connection but did not answer";
  const Watchdog watchdog(static_cast<unsigned>(kDisplayServerPatience.count()), silent.c_str());
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    throw NoDisplayServer("no X display (\"" + shown + "\"" +
                          (shown.empty() ? ": DISPLAY is not set" : "") + ")");
  }
  const auto refuse = [&](const std::string& why) {
    XCloseDisplay(display);
    throw PlatformError(why);
  };
  XSetErrorHandler(KeepXError);
  XSetIOErrorHandler(NoteIoError);
  XSetIOErrorExitHandler(display, NoteLostConnection, nullptr);
  int event_base = 0;
  int error_base = 0;
  int major = SYNC_MAJOR_VERSION;
  int minor = SYNC_MINOR_VERSION;
  if (!XSyncQueryExtension(display, &event_base, &error_base) ||
      !XSyncInitialize(display, &major, &minor)) {
    refuse("the X server of display \"" + shown + "\" has no SYNC extension");
  }
  int count = 0;
  XSyncSystemCounter* counters = XSyncListSystemCounters(display, &count);
  XSyncCounter idletime = 0;
  for (int i = 0; i < count; ++i) {
    if (std::strcmp(counters[i].name, "IDLETIME") == 0) idletime = counters[i].counter;
  }
  if (counters != nullptr) XSyncFreeSystemCounterList(counters);
  if (idletime == 0) refuse("the X server of display \"" + shown + "\" has no IDLETIME counter");
  // From here on the watcher closes the display.
  std::unique_ptr<X11IdleWatcher> watcher(
      new X11IdleWatcher(display, event_base, idletime, after, std::move(reports)));
  XSync(display, False);
  try {
    ThrowIfFailed();
  } catch (const PlatformError& failure) {
    throw PlatformError("display \"" + shown + "\": " + failure.what());
  }
  X11IdleWatcher* self = watcher.get();
  watcher->Watch(waiter, Waiter::Source::kDisplay,
                 {.fd = ConnectionNumber(display),
                  // Events Xlib has read already (while answering a request)
                  // wait in its queue, not on the socket.
                  .due = [self]() -> std::optional<TimePoint> {
                    if (!connection_lost && XQLength(self->display_) > 0) return Clock::now();
                    return std::nullopt;
                  },
                  .ready = [self](short revents) { self->Dispatch(revents); }});
  return watcher;
}

X11IdleWatcher::X11IdleWatcher(Display* display, int event_base, XSyncCounter idletime,
                               std::chrono::milliseconds after, Reports reports)
    : IdleWatcher(std::move(reports)),
      display_(display),
      event_base_(event_base),
      idletime_(idletime),
      after_(after) {
  Arm(true);
}

X11IdleWatcher::~X11IdleWatcher() {
  // After a lost connection Xlib must not be called again.
  if (connection_lost) return;
  if (alarm_ != 0) XSyncDestroyAlarm(display_, alarm_);
  XCloseDisplay(display_);
}

void X11IdleWatcher::Arm(bool for_idleness) {
  waiting_for_idleness_ = for_idleness;
  XSyncAlarmAttributes attributes{};
  attributes.trigger.counter = idletime_;
  attributes.trigger.value_type = XSyncAbsolute;
  // Idle: the count reached the time asked. Activity: it fell below, which
  // only input (or a screen saver reset) does. The activity test is one
  // millisecond below, so that a count still exactly at the time asked when
  // the alarm is switched is not taken for activity.
  attributes.trigger.wait_value = Value(after_.count() - (for_idleness ? 0 : 1));
  attributes.trigger.test_type = for_idleness ? XSyncPositiveComparison : XSyncNegativeComparison;
  // Delta 0: a comparison alarm turns inactive once it fires, until switched.
  attributes.delta = Value(0);
  attributes.events = True;
  const unsigned long mask = XSyncCACounter | XSyncCAValueType | XSyncCAValue |
                             XSyncCATestType | XSyncCADelta | XSyncCAEvents;
  if (alarm_ == 0) {
    alarm_ = XSyncCreateAlarm(display_, mask, &attributes);
  } else {
    XSyncChangeAlarm(display_, alarm_, mask, &attributes);
  }
  XFlush(display_);
}

std::optional<SessionBlanking> X11IdleWatcher::Blanking() {
  int timeout = 0;
  int interval = 0;
  int prefer_blanking = 0;
  int allow_exposures = 0;
  XGetScreenSaver(display_, &timeout, &interval, &prefer_blanking, &allow_exposures);
  return SessionBlanking{std::chrono::seconds{timeout > 0 ? timeout : 0}, "xset s SECONDS",
                         /*off_hides_holds=*/true};
}

std::unique_ptr<HoldSource> X11IdleWatcher::ServerHold() {
  return std::make_unique<X11ServerHold>(display_);
}

void X11IdleWatcher::Dispatch(short revents) {
  ThrowIfFailed();
  if ((revents & (POLLHUP | POLLERR)) != 0) {
    // Noticed here, before Xlib reads the end of the stream.
    connection_lost = true;
    throw PlatformError("the X server closed the connection");
  }
  HandleEvents();
}

void X11IdleWatcher::HandleEvents() {
  while (XPending(display_) > 0) {
    ThrowIfFailed();
    XEvent event;
    XNextEvent(display_, &event);
    if (event.type != event_base_ + XSyncAlarmNotify) continue;
    const auto& notify = reinterpret_cast<const XSyncAlarmNotifyEvent&>(event);
    // A comparison alarm that fired is inactive now; other states are the
    // alarm's own changes.
    if (notify.alarm != alarm_ || notify.state != XSyncAlarmInactive) continue;
    const bool was_idleness = waiting_for_idleness_;
    Arm(!was_idleness);
    if (was_idleness) {
      ReportIdle();
    } else {
      ReportActive();
    }
  }
  ThrowIfFailed();
}

}  // namespace ostrel
