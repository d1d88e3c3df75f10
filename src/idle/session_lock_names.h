#pragma once

// One launcher per session: the names of the lock files a launcher holds
// while it runs, one for each display it was given (the Wayland
// compositor's and the X display's), so that a second launcher for the same
// display finds the first. Plain: the posix side takes the locks.
//
// An X display is named by its host and number, without the screen: ":0",
// ":0.0" and "unix:0" are one display. A Wayland display is named by its
// socket's name (a path stays a path, its slashes made safe).

#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

struct SessionLockName {
  std::string file;     // a file name, no folder: "ostrel-idle-x11-_0.lock"
  std::string display;  // for the message: "X display :0"
};

std::vector<SessionLockName> SessionLockNames(std::string_view x_display,
                                              std::string_view wayland_display);

// The line a second launcher writes before it ends: the first one's process
// (0 when it could not be read) and the display they share.
std::string AlreadyWatchedMessage(int pid, std::string_view program, std::string_view display);

}  // namespace ostrel
