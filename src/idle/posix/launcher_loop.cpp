#include "idle/posix/launcher_loop.h"

#include <poll.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

namespace ostrel {
namespace {

using Clock = Launcher::Clock;

std::optional<Clock::time_point> Earliest(std::optional<Clock::time_point> a,
                                          std::optional<Clock::time_point> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

}  // namespace

IdleWatcher::IdleHandler LauncherLoop::IdleHandler() {
  return [this] { idle_pending_ = true; };
}

void LauncherLoop::Apply(const LauncherStep& step) {
  for (const std::string& line : step.log) std::fprintf(stderr, "ostrel-idle: %s\n", line.c_str());
  switch (step.action) {
    case LauncherStep::Action::kNone:
      break;
    case LauncherStep::Action::kStartSaver: {
      std::string error;
      if (!saver_.Start(&error)) Apply(launcher_.StartFailed(Clock::now(), error));
      break;
    }
    case LauncherStep::Action::kStopSaver:
      saver_.Signal(SIGTERM);
      break;
    case LauncherStep::Action::kKillSaver:
      saver_.Signal(SIGKILL);
      break;
    case LauncherStep::Action::kExit:
      done_ = true;
      status_ = step.exit_status;
      break;
  }
}

void LauncherLoop::Dispatch(IdleWatcher& watcher, const pollfd* ready, std::size_t count) {
  try {
    watcher.Dispatch(ready, count);
  } catch (const std::exception& failure) {
    // The session's connection is gone (or broken beyond use): nothing more
    // can be watched, and its descriptors are no longer polled.
    watching_ = false;
    Apply(launcher_.WatchLost(Clock::now(), failure.what()));
  }
}

int LauncherLoop::Run(IdleWatcher& watcher, LauncherSignals& signals) {
  std::vector<pollfd> fds;
  while (!done_) {
    if (idle_pending_) {
      idle_pending_ = false;
      Apply(launcher_.Idle(Clock::now()));
      continue;
    }
    fds.assign(1, pollfd{signals.fd(), POLLIN, 0});
    std::optional<Clock::time_point> deadline = launcher_.Deadline();
    if (watching_) {
      watcher.AddPollFds(&fds);
      deadline = Earliest(deadline, watcher.Deadline());
    }
    timespec timeout{};
    timespec* wait = nullptr;
    if (deadline) {
      const auto left = std::max(*deadline - Clock::now(), Clock::duration::zero());
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
      timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
      wait = &timeout;
    }
    if (ppoll(fds.data(), fds.size(), wait, nullptr) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "ostrel-idle: waiting failed: %s\n", std::strerror(errno));
      // Stops the saver on the way out (SaverProcess's destructor).
      return 1;
    }
    if (fds[0].revents != 0) {
      const LauncherSignals::Received received = signals.Read();
      if (received.child) {
        if (const auto end = saver_.Reap()) Apply(launcher_.SaverEnded(Clock::now(), *end));
      }
      if (received.end) Apply(launcher_.EndSignal(Clock::now()));
    }
    if (done_) break;
    if (watching_) Dispatch(watcher, fds.data() + 1, fds.size() - 1);
    if (done_) break;
    Apply(launcher_.DeadlinePassed(Clock::now()));
  }
  return status_;
}

}  // namespace ostrel
