#pragma once

#include "platform/platform.h"

namespace ostrel {

// The whole run: create the window, load it, show it and deliver its events
// until it closes, then let the platform hand on what outlives the window.
// Returns the process exit status: 0 after a normal end, 1 after a failure,
// which has been reported to the user.
int RunProgram(Platform& platform);

}  // namespace ostrel
