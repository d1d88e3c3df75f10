#include "platform/x11/x11_errors.h"

#include <unistd.h>

#include <string>

#include "platform/platform_error.h"

namespace ostrel {
namespace {

std::string pending_error;

int HandleIoError(Display* /*display*/) {
  static const char kMessage[] = "ostrel: lost the connection to the X server\n";
  // Xlib cannot go on after this; nothing of the display is left to restore.
  [[maybe_unused]] const auto written = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  _exit(1);
}

int HandleXError(Display* display, XErrorEvent* error) {
  if (pending_error.empty()) {
    char text[256] = {};
    XGetErrorText(display, error->error_code, text, sizeof text);
    pending_error = "X protocol error: " + std::string(text) + " (request " +
                    std::to_string(error->request_code) + "." + std::to_string(error->minor_code) +
                    ")";
  }
  return 0;
}

}  // namespace

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

ScopedErrorTrap* ScopedErrorTrap::active_ = nullptr;

ScopedErrorTrap::ScopedErrorTrap(Display* display)
    : display_(display), first_request_(NextRequest(display)), outer_(active_) {
  previous_ = XSetErrorHandler(&ScopedErrorTrap::Handle);
  active_ = this;
}

ScopedErrorTrap::~ScopedErrorTrap() {
  // Every request made under the trap must have been answered before the
  // previous handler comes back.
  SyncIfUnanswered();
  XSetErrorHandler(previous_);
  active_ = outer_;
}

bool ScopedErrorTrap::Failed() {
  SyncIfUnanswered();
  return failed_;
}

void ScopedErrorTrap::SyncIfUnanswered() {
  // When the server has answered the last request, every error of the ones
  // before it has arrived already: errors come in the order of the requests.
  if (LastKnownRequestProcessed(display_) + 1 < NextRequest(display_)) XSync(display_, False);
}

int ScopedErrorTrap::Handle(Display* display, XErrorEvent* error) {
  ScopedErrorTrap* outermost = nullptr;
  for (ScopedErrorTrap* trap = active_; trap != nullptr; trap = trap->outer_) {
    if (trap->display_ == display && error->serial >= trap->first_request_) {
      trap->failed_ = true;
      return 0;
    }
    outermost = trap;
  }
  const XErrorHandler previous = outermost != nullptr ? outermost->previous_ : nullptr;
  return previous != nullptr ? previous(display, error) : 0;
}

}  // namespace ostrel
