#pragma once

// A bus that several hold sources share (the session bus, the system bus),
// registered once in the launcher's wait. Its loss is no session's loss:
// the sources on it hold nothing from then on (each is told), and one line
// says so.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dbus/dbus_connection.h"
#include "platform/posix/waiter.h"

namespace ostrel {

class BusLink {
 public:
  // Registered in `waiter` as `source`; `name` names the bus in the line.
  BusLink(std::unique_ptr<dbus::Connection> connection, Waiter& waiter, Waiter::Source source,
          std::string name);
  ~BusLink();
  BusLink(const BusLink&) = delete;
  BusLink& operator=(const BusLink&) = delete;

  dbus::Connection& bus() { return *connection_; }
  bool lost() const { return lost_; }
  // Called once if the bus is lost.
  void OnLost(std::function<void()> handler) { on_lost_.push_back(std::move(handler)); }

 private:
  void Lose(const std::exception& failure);

  std::unique_ptr<dbus::Connection> connection_;
  std::string name_;
  Waiter::Registration registration_;  // goes before the connection
  std::vector<std::function<void()>> on_lost_;
  bool lost_ = false;
};

}  // namespace ostrel
