#include "private_bus.h"

#include <stdlib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace ostrel::testing {
namespace {

// A session-type bus that lets everyone own and call everything.
constexpr const char* kConfig = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=@FOLDER@/bus</listen>
  <auth>EXTERNAL</auth>
  <servicedir>@FOLDER@/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

}  // namespace

PrivateBus::PrivateBus() {
  char folder[] = "/tmp/ostrel-dbus-XXXXXX";
  if (mkdtemp(folder) == nullptr) {
    error_ = std::string("mkdtemp: ") + std::strerror(errno);
    return;
  }
  folder_ = folder;
  std::string config = kConfig;
  for (std::size_t at; (at = config.find("@FOLDER@")) != std::string::npos;) {
    config.replace(at, 8, folder_);
  }
  std::filesystem::create_directory(folder_ + "/services");
  std::ofstream(folder_ + "/bus.conf") << config;

  // It warns that it cannot raise its descriptor limit when not run by root:
  // its standard error goes nowhere.
  daemon_ = ChildProcess({"dbus-daemon", "--config-file=" + folder_ + "/bus.conf", "--nofork",
                          "--nosyslog", "--print-address=1"});
  if (!daemon_.started()) {
    error_ = daemon_.error() + " (Debian package dbus-daemon)";
    return;
  }
  address_ = daemon_.ReadLine(std::chrono::seconds(10));
  if (address_.empty()) error_ = "dbus-daemon printed no address";
}

void PrivateBus::Kill() { daemon_.Kill(); }

PrivateBus::~PrivateBus() {
  daemon_ = ChildProcess();
  if (!folder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
}

ServiceThread::ServiceThread(std::vector<dbus::Connection*> connections)
    : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      thread_([this, connections] { Serve(connections); }) {}

ServiceThread::~ServiceThread() {
  Post([this] { stop_ = true; });
  thread_.join();
  close(wake_);
}

void ServiceThread::Post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = write(wake_, &one, sizeof one);
}

void ServiceThread::Silence(dbus::Connection* connection) {
  Post([this, connection] { silenced_.push_back(connection); });
}

void ServiceThread::Serve(std::vector<dbus::Connection*> connections) {
  Waiter waiter;
  std::vector<Waiter::Registration> watches;
  for (dbus::Connection* connection : connections) {
    watches.push_back(connection->WaitIn(waiter, Waiter::Source::kSessionBus));
  }
  const Waiter::Registration jobs = waiter.Add(Waiter::Source::kSignals, {.fd = wake_, .ready = [&](short) {
    std::uint64_t ignored = 0;
    [[maybe_unused]] const auto got = read(wake_, &ignored, sizeof ignored);
    std::vector<std::function<void()>> now;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      now.swap(jobs_);
    }
    for (auto& job : now) job();
    for (std::size_t i = 0; i < connections.size(); ++i) {
      for (dbus::Connection* silent : silenced_) {
        if (connections[i] == silent) watches[i].Reset();
      }
    }
  }});
  while (!stop_) {
    try {
      waiter.WaitOnce(std::nullopt);
    } catch (const std::exception&) {
      return;  // a bus went away
    }
  }
}

bool PumpUntil(std::initializer_list<dbus::Connection*> connections,
               const std::function<bool()>& done, std::chrono::milliseconds limit) {
  Waiter waiter;
  std::vector<Waiter::Registration> watches;
  for (auto* connection : connections) {
    connection->Process();
    watches.push_back(connection->WaitIn(waiter, Waiter::Source::kSessionBus));
  }
  return waiter.WaitUntil(done, Clock::now() + limit) == Waiter::End::kDone;
}

}  // namespace ostrel::testing
