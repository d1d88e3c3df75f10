#include "platform/wayland/screen_copy/desktop_bus.h"

#include "platform/platform_error.h"

namespace ostrel {

DesktopBus::~DesktopBus() { watch_.Reset(); }

dbus::Connection& DesktopBus::Get() {
  if (bus_) return *bus_;
  if (!failure_.empty()) throw PlatformError(failure_);
  try {
    bus_ = dbus::Connection::OpenSession();
  } catch (const PlatformError& failure) {
    failure_ = failure.what();
    throw;
  }
  watch_ = bus_->WaitIn(waiter_, Waiter::Source::kSessionBus);
  return *bus_;
}

void DesktopBus::OpenEarly() {
  try {
    Get();
  } catch (const PlatformError&) {
    // Said by the way that asks for it.
  }
}

}  // namespace ostrel
