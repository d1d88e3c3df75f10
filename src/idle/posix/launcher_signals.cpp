#include "idle/posix/launcher_signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ostrel {
namespace {

sigset_t TakenSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&set, number);
  return set;
}

}  // namespace

std::unique_ptr<LauncherSignals> LauncherSignals::Take(std::string* error) {
  const sigset_t set = TakenSignals();
  if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) {
    *error = std::string("cannot block the signals: ") + std::strerror(errno);
    return nullptr;
  }
  const int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) {
    *error = std::string("cannot open a signalfd: ") + std::strerror(errno);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    return nullptr;
  }
  return std::unique_ptr<LauncherSignals>(new LauncherSignals(fd));
}

LauncherSignals::~LauncherSignals() { close(fd_); }

LauncherSignals::Received LauncherSignals::Read() {
  Received received;
  signalfd_siginfo info{};
  while (read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (info.ssi_signo == SIGCHLD) {
      received.child = true;
    } else {
      received.end = true;
    }
  }
  return received;
}

}  // namespace ostrel
