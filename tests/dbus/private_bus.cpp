#include "private_bus.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

extern char** environ;

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

std::string ReadLine(int fd, std::chrono::milliseconds limit) {
  std::string line;
  const auto end = std::chrono::steady_clock::now() + limit;
  while (line.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd ready{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) return {};
    char chunk[256];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0) return {};
    line.append(chunk, static_cast<std::size_t>(got));
  }
  return line.substr(0, line.find('\n'));
}

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

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  // It warns that it cannot raise its descriptor limit when not run by root.
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const std::string config_arg = "--config-file=" + folder_ + "/bus.conf";
  std::vector<char*> argv = {const_cast<char*>("dbus-daemon"), const_cast<char*>(config_arg.c_str()),
                             const_cast<char*>("--nofork"), const_cast<char*>("--nosyslog"),
                             const_cast<char*>("--print-address=1"),
                             nullptr};
  const int spawned = posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    pid_ = -1;
    close(out[0]);
    error_ = std::string("dbus-daemon: ") + std::strerror(spawned) +
             " (Debian package dbus-daemon)";
    return;
  }
  address_ = ReadLine(out[0], std::chrono::seconds(10));
  close(out[0]);
  if (address_.empty()) error_ = "dbus-daemon printed no address";
}

void PrivateBus::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

PrivateBus::~PrivateBus() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
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
