#include "platform/x11/x11_errors.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace ostrel {
namespace {

ScopedErrorTrap* active_trap = nullptr;
std::string pending_error;

int HandleIoError(Display* /*display*/) {
  static const char kMessage[] = "ostrel: lost the connection to the X server\n";
  // Xlib cannot go on after this; nothing of the display is left to restore.
  [[maybe_unused]] const auto written = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  _exit(1);
}

}  // namespace

int HandleXError(Display* display, XErrorEvent* error) {
  if (active_trap != nullptr && active_trap->display_ == display &&
      error->serial >= active_trap->first_request_) {
    ++active_trap->caught_;
    return 0;
  }
  if (pending_error.empty()) {
    char text[256] = {};
    XGetErrorText(display, error->error_code, text, sizeof text);
    pending_error = "X protocol error: " + std::string(text) + " (request " +
                    std::to_string(error->request_code) + "." + std::to_string(error->minor_code) +
                    ")";
  }
  return 0;
}

void InstallXErrorHandlers() {
  XSetErrorHandler(HandleXError);
  XSetIOErrorHandler(HandleIoError);
}

void ThrowIfXErrorPending() {
  if (pending_error.empty()) return;
  std::string message;
  message.swap(pending_error);
  throw PlatformError(message);
}

ScopedErrorTrap::ScopedErrorTrap(Display* display)
    : display_(display), first_request_(NextRequest(display)), outer_(active_trap) {
  active_trap = this;
}

ScopedErrorTrap::~ScopedErrorTrap() { active_trap = outer_; }

}  // namespace ostrel
