// ostrel for Linux: freezes the desktop, lets four trails of circles wander
// over it, and gives the desktop back on the first touch of the mouse or
// keyboard. It reads no arguments and no settings. It runs on the Wayland
// compositor that answers, else on the X display.

#include <cstdio>
#include <memory>
#include <string>

#include "platform/posix/end_signals.h"
#include "platform/posix/process_control.h"
#include "run/program.h"
#ifdef OSTREL_HAVE_WAYLAND
#include "platform/wayland/wayland_platform.h"
#endif
#ifdef OSTREL_HAVE_X11
#include "platform/x11/x11_platform.h"
#endif

namespace {

// The platform of the session: Wayland when a compositor answers, X11
// otherwise. Null, with the reasons of both in `error`, when neither opens.
std::unique_ptr<ostrel::Platform> OpenPlatform(std::string* error) {
  std::string wayland_error = "no Wayland support built in";
#ifdef OSTREL_HAVE_WAYLAND
  bool answered = false;
  if (auto platform = ostrel::WaylandPlatform::Open(&wayland_error, &answered)) return platform;
  // A compositor that answers but cannot show the window is the session's
  // answer: its X server, if any, cannot copy the Wayland desktop either.
  if (answered) {
    *error = wayland_error;
    return nullptr;
  }
#endif
  std::string x11_error = "no X11 support built in";
#ifdef OSTREL_HAVE_X11
  if (auto platform = ostrel::X11Platform::Open(nullptr, &x11_error)) return platform;
#endif
  *error = wayland_error + " and no X11 display (" + x11_error + ")";
  return nullptr;
}

}  // namespace

int main() {
  // First of all: descriptors 0 to 2 open, so that none of the program's own
  // (the signal pipe, the display's connection) takes their numbers and
  // receives what is written to stderr; then a signal from the first moment
  // on ends the program with status 0, and a closed stderr pipe is an error,
  // not a SIGPIPE.
  ostrel::OpenMissingStandardDescriptors();
  ostrel::InstallEndSignals();
  std::string error;
  std::unique_ptr<ostrel::Platform> platform = OpenPlatform(&error);
  if (!platform) {
    std::fprintf(stderr, "ostrel: %s\n", error.c_str());
    return 1;
  }
  return ostrel::RunProgram(*platform);
}
