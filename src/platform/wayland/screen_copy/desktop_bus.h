#pragma once

// The session bus for the desktops' screenshot services (KWin's, the
// portal): opened, and registered in the program's one wait, the first time
// a way of copying the screen asks for it, so that a compositor with a
// screen copy of its own never opens it.

#include <memory>
#include <string>

#include "platform/dbus/dbus_connection.h"
#include "platform/posix/waiter.h"

namespace ostrel {

class DesktopBus {
 public:
  explicit DesktopBus(Waiter& waiter) : waiter_(waiter) {}
  ~DesktopBus();
  DesktopBus(const DesktopBus&) = delete;
  DesktopBus& operator=(const DesktopBus&) = delete;

  // The bus. Throws PlatformError, the same each time, when there is none.
  dbus::Connection& Get();
  // Opens it now, where a way of the bus will surely be asked: its greeting
  // then goes on while the program sets up. A failure waits for Get.
  void OpenEarly();

 private:
  Waiter& waiter_;
  std::unique_ptr<dbus::Connection> bus_;
  Waiter::Registration watch_;
  std::string failure_;
};

}  // namespace ostrel
