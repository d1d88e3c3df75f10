#include "platform/posix/end_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/posix/warning.h"

namespace ostrel {
namespace {

int signal_pipe[2] = {-1, -1};
// -1: queue the signal; 0 or more: exit at once with this status.
volatile sig_atomic_t exit_status_on_signal = 0;
char watchdog_message[512];
std::size_t watchdog_message_length = 0;

extern "C" void OnEndSignal(int /*signal*/) {
  const int status = exit_status_on_signal;
  if (status >= 0) _exit(status);
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const auto written = write(signal_pipe[1], &byte, 1);
  errno = saved;
}

extern "C" void OnWatchdog(int /*signal*/) {
  [[maybe_unused]] const auto written =
      write(STDERR_FILENO, watchdog_message, watchdog_message_length);
  _exit(1);
}

}  // namespace

void InstallEndSignals() {
  if (signal_pipe[0] >= 0) return;
  signal(SIGPIPE, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = OnEndSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(signal_number, &action, nullptr);
  }
  // Without the pipe a queued signal could not reach the loop: such signals
  // then keep ending the process at once (still with status 0, before the
  // window exists; see QueueEndSignals).
  if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) signal_pipe[0] = signal_pipe[1] = -1;
}

void QueueEndSignals() {
  InstallEndSignals();
  if (signal_pipe[0] >= 0) exit_status_on_signal = -1;
}

void EndAtOnceOnSignal(int status) { exit_status_on_signal = status < 0 ? 1 : status; }

int EndSignalFd() { return signal_pipe[0]; }

bool DrainEndSignals() {
  if (signal_pipe[0] < 0) return false;
  char buffer[64];
  bool any = false;
  while (read(signal_pipe[0], buffer, sizeof buffer) > 0) any = true;
  return any;
}

Waiter::Registration WatchEndSignals(Waiter& waiter) {
  return waiter.Add(Waiter::Source::kSignals,
                    {.fd = EndSignalFd(), .ready = [&waiter](short) {
                       if (DrainEndSignals()) waiter.Interrupt();
                     }});
}

Watchdog::Watchdog(unsigned milliseconds, const char* message) {
  const int length = std::snprintf(watchdog_message, sizeof watchdog_message, "%s: %s\n",
                                   ProgramName(), message);
  watchdog_message_length =
      length < 0 ? 0 : std::min(static_cast<std::size_t>(length), sizeof watchdog_message - 1);
  struct sigaction action {};
  action.sa_handler = OnWatchdog;
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, nullptr);
  itimerval timer{};
  timer.it_value.tv_sec = milliseconds / 1000;
  timer.it_value.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
  setitimer(ITIMER_REAL, &timer, nullptr);
}

Watchdog::~Watchdog() {
  const itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  signal(SIGALRM, SIG_DFL);
}

}  // namespace ostrel
