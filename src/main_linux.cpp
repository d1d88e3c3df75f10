// ostrel for Linux: freezes the desktop, lets four trails of circles wander
// over it, and gives the desktop back on the first touch of the mouse or
// keyboard. It reads no arguments and no settings. It runs on the Wayland
// compositor that answers, else on the X display.

#include <memory>
#include <string>

#include "platform/platform_error.h"
#include "platform/posix/end_signals.h"
#include "platform/posix/process_control.h"
#include "platform/posix/warning.h"
#include "run/program.h"
#ifdef OSTREL_HAVE_WAYLAND
#include "platform/wayland/wayland_platform.h"
#endif
#ifdef OSTREL_HAVE_X11
#include "platform/x11/x11_platform.h"
#endif

namespace {

// The platform of the session: Wayland when a compositor answers, X11
// otherwise. Throws PlatformError with the reasons of both when neither
// opens; a compositor that answers but cannot show the window is the
// session's answer (its X server, if any, cannot copy the Wayland desktop
// either).
std::unique_ptr<ostrel::Platform> OpenPlatform() {
  std::string no_wayland = "no Wayland support built in";
#ifdef OSTREL_HAVE_WAYLAND
  try {
    return ostrel::WaylandPlatform::Open();
  } catch (const ostrel::NoDisplayServer& none) {
    no_wayland = none.what();
  }
#endif
  std::string no_x11 = "no X11 support built in";
#ifdef OSTREL_HAVE_X11
  try {
    return ostrel::X11Platform::Open();
  } catch (const ostrel::NoDisplayServer& none) {
    no_x11 = none.what();
  }
#endif
  throw ostrel::PlatformError(no_wayland + " and no X11 display (" + no_x11 + ")");
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
  std::unique_ptr<ostrel::Platform> platform;
  try {
    platform = OpenPlatform();
  } catch (const std::exception& failure) {
    ostrel::Warn(failure.what());
    return 1;
  }
  return ostrel::RunProgram(*platform);
}
