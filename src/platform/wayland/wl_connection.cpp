#include "platform/wayland/wl_connection.h"

#include <poll.h>
#include <time.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform_error.h"
#include "platform/posix/monotonic_clock.h"

namespace ostrel {
namespace {

// While connecting, libwayland's first message is kept; afterwards its
// messages are printed under the program's name.
std::string* connect_message = nullptr;
const char* message_program = "ostrel";

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
  std::fprintf(stderr, "%s: Wayland: %s\n", message_program, message.c_str());
}

}  // namespace

wl_display* ConnectToCompositor(const char* program, std::string* error) {
  message_program = program;
  wl_log_set_handler_client(LogLibwaylandMessage);
  std::string why;
  connect_message = &why;
  wl_display* display = wl_display_connect(nullptr);
  connect_message = nullptr;
  if (display != nullptr) return display;
  const char* name = std::getenv("WAYLAND_DISPLAY");
  *error = name == nullptr || *name == '\0'
               ? std::string("no Wayland compositor (WAYLAND_DISPLAY is not set)")
               : std::string("no Wayland compositor at \"") + name + "\"" +
                     (why.empty() ? std::string() : " (" + why + ")");
  return nullptr;
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

bool DispatchUntil(wl_display* display, const std::function<bool()>& done,
                   std::int64_t deadline_ns) {
  if (wl_display_dispatch_pending(display) < 0) throw PlatformError(ConnectionFailure(display));
  while (!done()) {
    const std::int64_t left = deadline_ns - MonotonicNs();
    if (left <= 0) return false;
    const bool flushed = Flush(display);
    pollfd fd{wl_display_get_fd(display), static_cast<short>(POLLIN | (flushed ? 0 : POLLOUT)), 0};
    const std::int64_t wait = std::min<std::int64_t>(left, 100'000'000);
    const timespec timeout{0, static_cast<long>(wait)};
    if (ppoll(&fd, 1, &timeout, nullptr) < 0 && errno != EINTR) {
      throw PlatformError(std::string("waiting for the compositor failed: ") +
                          std::strerror(errno));
    }
    ReadAndDispatch(display, fd.revents);
  }
  return true;
}

}  // namespace ostrel
