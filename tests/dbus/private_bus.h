#pragma once

// A private dbus-daemon for tests, in a temporary folder, ended with the
// object; stand-in services served on a thread of their own; and a wait that
// drives connections until a condition holds.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
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
  ChildProcess daemon_;
};

// Connections served on a thread of its own, in a wait of its own, until
// the object goes: a stand-in for a desktop's services. Jobs posted from the
// test's thread run there, between dispatches.
class ServiceThread {
 public:
  explicit ServiceThread(std::vector<dbus::Connection*> connections);
  ~ServiceThread();
  ServiceThread(const ServiceThread&) = delete;
  ServiceThread& operator=(const ServiceThread&) = delete;

  void Post(std::function<void()> job);
  // From now on `connection` is not served: what is sent to it waits
  // unanswered.
  void Silence(dbus::Connection* connection);

 private:
  void Serve(std::vector<dbus::Connection*> connections);

  int wake_ = -1;
  std::mutex mutex_;
  std::vector<std::function<void()>> jobs_;
  bool stop_ = false;                          // on the thread
  std::vector<dbus::Connection*> silenced_;    // on the thread
  std::thread thread_;
};

// Waits on the connections until `done` returns true or `limit` passes;
// returns done().
bool PumpUntil(std::initializer_list<dbus::Connection*> connections,
               const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace ostrel::testing
