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

#include "platform/wayland/screen_copy.h"

struct wl_display;

namespace ostrel {

namespace dbus {
class Connection;
}

// How long the portal is waited for: long enough to read its question and
// answer it, short enough that an unanswered one does not keep the program
// waiting without a window.
inline constexpr std::int64_t kPortalTimeoutNs = 30'000'000'000;

std::unique_ptr<ScreenCopier> MakePortalScreenCopier(dbus::Connection& bus, wl_display* display);

}  // namespace ostrel
