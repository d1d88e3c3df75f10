// ostrel for Windows, the screen-saver module ostrel.scr: freezes the desktop,
// lets four trails of circles wander over it, and gives the desktop back on
// the first touch of the mouse or keyboard.
//
// It reads no command line: /s (run), /p <window> (preview), /c (settings) and
// no argument all make the same full run.

#include <windows.h>

#include "platform/win32/win32_platform.h"
#include "run/program.h"

namespace {

// The manifest asks for per-monitor DPI awareness, so that the window covers
// every monitor pixel for pixel. Where the system does not honour it, system
// awareness is the next best; should that fail too, the run goes on.
void BecomeDpiAware() {
  if (!IsProcessDPIAware()) SetProcessDPIAware();
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*command_line*/,
                   int /*show*/) {
  BecomeDpiAware();
  ostrel::Win32Platform platform(instance);
  return ostrel::RunProgram(platform);
}
