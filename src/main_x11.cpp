// ostrel for X11: freezes the desktop, lets four trails of circles wander over
// it, and gives the desktop back on the first touch of the mouse or keyboard.
// It reads no arguments and no settings.

#include <cstdio>
#include <exception>
#include <string>

#include "platform/x11/x11_platform.h"
#include "platform/x11/x11_signals.h"
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
  const int status = ostrel::RunProgram(*platform);
  // The window is gone and the cursor shown: a signal during the clipboard's
  // hand-off ends the program at once, with the run's status.
  ostrel::EndAtOnceOnSignal(status);
  try {
    platform->FinishRun();
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "ostrel: the clipboard could not be handed over: %s\n", failure.what());
  }
  return status;
}
