#include "idle/dbus/bus_holds.h"

#include "idle/dbus/desktop_holds.h"
#include "idle/dbus/screensaver_service.h"
#include "platform/platform_error.h"

namespace ostrel {

void AddBusHolds(Holds& holds, Waiter& waiter, const std::function<bool()>& saver_active) {
  std::unique_ptr<dbus::Connection> session;
  std::unique_ptr<dbus::Connection> system;
  try {
    session = dbus::Connection::OpenSession();
  } catch (const PlatformError&) {
    // No session bus: no application can ask over it either.
  }
  try {
    system = dbus::Connection::OpenSystem();
  } catch (const PlatformError&) {
    // No system bus: no logind.
  }
  AddBusHoldsOn(holds, waiter, std::move(session), std::move(system), saver_active);
}

void AddBusHoldsOn(Holds& holds, Waiter& waiter, std::unique_ptr<dbus::Connection> session,
                   std::unique_ptr<dbus::Connection> system,
                   const std::function<bool()>& saver_active) {
  if (session) {
    auto link = std::make_shared<BusLink>(std::move(session), waiter,
                                          Waiter::Source::kSessionBus, "session bus");
    holds.Add(std::make_unique<ScreenSaverService>(link, holds.NextReports(), saver_active));
    holds.Add(std::make_unique<BusHold>(link, PowerManagementQuery(), holds.NextReports()));
    holds.Add(std::make_unique<BusHold>(link, KdePolicyAgentQuery(), holds.NextReports()));
  }
  if (system) {
    auto link = std::make_shared<BusLink>(std::move(system), waiter, Waiter::Source::kSystemBus,
                                          "system bus");
    holds.Add(std::make_unique<BusHold>(link, LogindIdleQuery(), holds.NextReports()));
  }
}

}  // namespace ostrel
