#pragma once

// The holds the launcher follows over D-Bus, added to its Holds: on the
// session bus its own org.freedesktop.ScreenSaver (screensaver_service.h)
// and the desktop's power managers, on the system bus logind's idle
// inhibitors (desktop_holds.h). A bus that is not there is left out.

#include <functional>
#include <memory>

#include "idle/posix/holds.h"
#include "platform/dbus/dbus_connection.h"

namespace ostrel {

// The user's session bus and the system bus.
void AddBusHolds(Holds& holds, Waiter& waiter, const std::function<bool()>& saver_active);
// The same on given buses (tests); either may be null.
void AddBusHoldsOn(Holds& holds, Waiter& waiter, std::unique_ptr<dbus::Connection> session,
                   std::unique_ptr<dbus::Connection> system,
                   const std::function<bool()>& saver_active);

}  // namespace ostrel
