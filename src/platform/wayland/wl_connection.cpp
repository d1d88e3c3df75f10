#include "platform/wayland/wl_connection.h"

#include <poll.h>
#include <wayland-client.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform_error.h"
#include "platform/posix/warning.h"

namespace ostrel {
namespace {

// While connecting, libwayland's first message is kept; afterwards its
// messages are the program's own lines.
std::string* connect_message = nullptr;

void LogLibwaylandMessage(const char* format, va_list arguments) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, arguments);
  std::string message(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '.')) message.pop_back();
  if (message.rfind("error: ", 0) == 0) message.erase(0, 7);
  if (connect_message != nullptr) {
    if (connect_message->empty()) *connect_message = message;
    return;
  }
  Warn("Wayland: " + message);
}

// Reads and dispatches what the compositor sent, without waiting: `revents`
// are poll's for the connection.
void ReadAndDispatch(wl_display* display, short revents) {
  // Whatever is queued already is dispatched first: prepare_read refuses to
  // read while the queue holds events.
  while (wl_display_prepare_read(display) != 0) {
    if (wl_display_dispatch_pending(display) < 0) throw PlatformError(ConnectionFailure(display));
  }
  if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
    if (wl_display_read_events(display) < 0) throw PlatformError(ConnectionFailure(display));
  } else {
    wl_display_cancel_read(display);
  }
  if (wl_display_dispatch_pending(display) < 0) throw PlatformError(ConnectionFailure(display));
  // A hang-up with nothing left to read leaves no error behind: it is one.
  if ((revents & (POLLHUP | POLLERR)) != 0 && (revents & POLLIN) == 0) {
    throw PlatformError(ConnectionFailure(display));
  }
}

}  // namespace

wl_display* ConnectToCompositor() {
  wl_log_set_handler_client(LogLibwaylandMessage);
  std::string why;
  connect_message = &why;
  wl_display* display = wl_display_connect(nullptr);
  connect_message = nullptr;
  if (display != nullptr) return display;
  const char* name = std::getenv("WAYLAND_DISPLAY");
  throw NoDisplayServer(name == nullptr || *name == '\0'
                            ? std::string("no Wayland compositor (WAYLAND_DISPLAY is not set)")
                            : std::string("no Wayland compositor at \"") + name + "\"" +
                                  (why.empty() ? std::string() : " (" + why + ")"));
}

std::string ConnectionFailure(wl_display* display) {
  const int error = wl_display_get_error(display);
  if (error == EPROTO) {
    const wl_interface* interface = nullptr;
    std::uint32_t id = 0;
    const std::uint32_t code = wl_display_get_protocol_error(display, &interface, &id);
    return std::string("the compositor reported protocol error ") + std::to_string(code) + " on " +
           (interface != nullptr ? interface->name : "an object") + " " + std::to_string(id);
  }
  if (error == 0 || error == EPIPE || error == ECONNRESET) {
    return "the connection to the Wayland compositor was lost";
  }
  return std::string("the connection to the Wayland compositor failed: ") + std::strerror(error);
}

bool Flush(wl_display* display) {
  if (wl_display_flush(display) >= 0) return true;
  if (errno == EAGAIN) return false;
  throw PlatformError(ConnectionFailure(display));
}

Waiter::Watch DisplayWatch(wl_display* display) {
  return {.fd = wl_display_get_fd(display),
          .prepare =
              [display] {
                // poll cannot see what is queued already.
                if (wl_display_dispatch_pending(display) < 0) {
                  throw PlatformError(ConnectionFailure(display));
                }
                return static_cast<short>(POLLIN | (Flush(display) ? 0 : POLLOUT));
              },
          .ready = [display](short revents) { ReadAndDispatch(display, revents); }};
}

Waiter::Registration WatchDisplay(Waiter& waiter, wl_display* display) {
  return waiter.Add(Waiter::Source::kDisplay, DisplayWatch(display));
}

struct CallbackListeners {
  static constexpr wl_callback_listener kSetsFlag = {
      .done = [](void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; },
  };
};

void SetWhenDone(wl_callback* callback, bool* flag) {
  *flag = false;
  wl_callback_add_listener(callback, &CallbackListeners::kSetsFlag, flag);
}

bool Roundtrip(Waiter& waiter, wl_display* display, TimePoint deadline) {
  bool done = false;
  wl_callback* callback = wl_display_sync(display);
  SetWhenDone(callback, &done);
  const Waiter::End end = waiter.WaitUntil([&done] { return done; }, deadline);
  wl_callback_destroy(callback);
  return end == Waiter::End::kDone;
}

}  // namespace ostrel
