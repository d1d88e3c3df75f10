#pragma once

// The screen copied through KWin's org.kde.KWin.ScreenShot2 on the session
// bus: each output by its name, at its native resolution, without the
// cursor, written by KWin into a pipe we pass. KWin allows it only to a
// program that an installed .desktop file names (the package installs
// ostrel's); anyone else is refused, and the next way is tried.

#include <memory>

#include "platform/wayland/screen_copy.h"

struct wl_display;

namespace ostrel {

namespace dbus {
class Connection;
}

std::unique_ptr<ScreenCopier> MakeKWinScreenCopier(dbus::Connection& bus, wl_display* display);

}  // namespace ostrel
