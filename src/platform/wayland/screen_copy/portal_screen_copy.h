#pragma once

// The screen copied through the XDG Screenshot portal
// (org.freedesktop.portal.Screenshot, not interactive): one PNG of all
// outputs at their places in the layout, at the largest scale, which the
// portal writes to a file; it is read into the frame and deleted. The
// desktop asks the user once whether programs may do this (GNOME: "Allow
// Applications to Take Screenshots?"), so nothing covers the screen while
// the portal is asked; a refusal, or no answer in time, ends the run with a
// line that says how to allow it.

#include <memory>

#include "platform/posix/waiter.h"
#include "platform/wayland/screen_copy/screen_copier.h"

namespace ostrel {

class DesktopBus;

// How long the portal is waited for: long enough to read its question and
// answer it, short enough that an unanswered one does not keep the program
// waiting without a window.
inline constexpr Clock::duration kPortalPatience = std::chrono::seconds(30);

std::unique_ptr<ScreenCopier> MakePortalScreenCopier(DesktopBus& bus, Waiter& waiter);

}  // namespace ostrel
