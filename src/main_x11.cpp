// ostrel for X11: freezes the desktop, lets four trails of circles wander over
// it, and gives the desktop back on the first touch of the mouse or keyboard.
// It reads no arguments and no settings.

#include <cstdio>
#include <string>

#include "platform/posix/end_signals.h"
#include "platform/x11/x11_platform.h"
#include "run/program.h"

int main() {
  // First of all: a signal from the first moment on ends the program with
  // status 0, and a closed stderr pipe is an error, not a SIGPIPE.
  ostrel::InstallEndSignals();
  std::string error;
  std::unique_ptr<ostrel::X11Platform> platform = ostrel::X11Platform::Open(nullptr, &error);
  if (!platform) {
    std::fprintf(stderr, "ostrel: %s\n", error.c_str());
    return 1;
  }
  return ostrel::RunProgram(*platform);
}
