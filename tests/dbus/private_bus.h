#pragma once

// A private dbus-daemon for tests, in a temporary folder, ended with the
// object; and a loop that drives connections until a condition holds.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>

#include "platform/dbus/dbus_connection.h"

namespace ostrel::testing {

class PrivateBus {
 public:
  // Starts the daemon; address() is empty, with the reason in error(), when
  // it could not start (dbus-daemon missing: the tests skip).
  PrivateBus();
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  const std::string& address() const { return address_; }
  // The bus's folder of activatable services (.service files), read when
  // the bus starts a service.
  std::string services() const { return folder_ + "/services"; }
  const std::string& error() const { return error_; }
  // Ends the daemon at once (SIGKILL), as a crash would.
  void Kill();

 private:
  std::string folder_;
  std::string address_;
  std::string error_;
  pid_t pid_ = -1;
};

// Polls and processes the connections until `done` returns true or `limit`
// passes; returns done().
bool PumpUntil(std::initializer_list<dbus::Connection*> connections,
               const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace ostrel::testing
