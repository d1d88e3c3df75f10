#pragma once

// The screen copied through KWin's org.kde.KWin.ScreenShot2 on the session
// bus: each output by its name, at its native resolution, without the
// cursor, written by KWin into a memory file we pass and read once it holds
// the whole picture (or KWin has closed it), as the program's one wait sees
// through inotify. KWin allows it only to a program that an installed
// .desktop file names (the package installs ostrel's); anyone else is
// refused, and the next way is tried.

#include <memory>

#include "platform/posix/waiter.h"
#include "platform/wayland/screen_copy/screen_copier.h"

namespace ostrel {

class DesktopBus;

std::unique_ptr<ScreenCopier> MakeKWinScreenCopier(DesktopBus& bus, Waiter& waiter);

}  // namespace ostrel
