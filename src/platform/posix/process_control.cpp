#include "platform/posix/process_control.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/posix/waiter.h"

namespace ostrel {
namespace {

// Closes every fd from `first` to `last` inclusive.
void CloseRange(int first, int last) {
  if (first > last) return;
  if (close_range(static_cast<unsigned>(first), static_cast<unsigned>(last), 0) == 0) return;
  // Kernels before 5.9 lack close_range: close them one by one, up to the
  // limit of open files.
  const long open_max = sysconf(_SC_OPEN_MAX);
  const int end = static_cast<int>(std::min<long>(open_max > 0 ? open_max : 1024, last));
  for (int fd = first; fd <= end; ++fd) close(fd);
}

}  // namespace

void OpenMissingStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free number is `fd` itself: every lower one is open.
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

std::optional<std::string> CommandOutput(const std::vector<std::string>& argv,
                                         std::chrono::milliseconds timeout) {
  if (argv.empty()) return std::nullopt;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(out[1], 1);
    dup2(null_fd, 2);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  if (pid < 0) {
    close(out[0]);
    return std::nullopt;
  }
  std::string output;
  bool done = false;
  Waiter waiter;
  const Waiter::Registration reading = waiter.Add(
      Waiter::Source::kPipe, {.fd = out[0], .ready = [&](short) {
                                       char chunk[4096];
                                       const ssize_t n = read(out[0], chunk, sizeof chunk);
                                       if (n > 0) {
                                         output.append(chunk, static_cast<std::size_t>(n));
                                       } else if (n == 0 || errno != EINTR) {
                                         done = true;
                                       }
                                     }});
  waiter.WaitUntil([&] { return done; }, Clock::now() + timeout);
  close(out[0]);
  if (!done) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!done || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return output;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size, std::chrono::milliseconds stall) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t written = write(fd, data + done, size - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A non-blocking pipe is full: wait for the reader to take some.
      pollfd writable{fd, POLLOUT, 0};
      const int ready = poll(&writable, 1, static_cast<int>(stall.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0 || (writable.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return false;
      continue;
    }
    return false;  // the reader has gone (EPIPE) or the fd is broken
  }
  return true;
}

void DetachFromCaller(int keep_fd) {
  setsid();
  const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  for (int std_fd = 0; std_fd <= 2; ++std_fd) {
    if (std_fd == keep_fd) continue;
    if (null_fd >= 0) {
      dup2(null_fd, std_fd);
    } else {
      close(std_fd);
    }
  }
  if (keep_fd > 2) {
    CloseRange(3, keep_fd - 1);
    CloseRange(keep_fd + 1, INT_MAX);
  } else {
    CloseRange(3, INT_MAX);  // null_fd too
  }

  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_IGN;
  for (const int signal_number : {SIGHUP, SIGINT, SIGPIPE})
    sigaction(signal_number, &action, nullptr);
  action.sa_handler = SIG_DFL;
  for (const int signal_number : {SIGTERM, SIGQUIT, SIGALRM, SIGCHLD}) {
    sigaction(signal_number, &action, nullptr);
  }
  const itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

pid_t ForkDetached(int keep_fd) {
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  sigprocmask(SIG_SETMASK, &all, &previous);
  const pid_t pid = fork();
  if (pid == 0) {
    DetachFromCaller(keep_fd);  // lets signals in again
    return 0;
  }
  const int fork_error = errno;  // for the caller's report when fork failed
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  errno = fork_error;
  return pid;
}

bool TransferWriters::Start(int fd, std::shared_ptr<const std::vector<std::uint8_t>> data) {
  Reap();
  const pid_t pid = ForkDetached(fd);
  if (pid == 0) {
    // Without O_NONBLOCK a reader that takes nothing would hold the writer
    // in write() forever; with it the writer can give up after the stall.
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const bool complete = data != nullptr && WriteAll(fd, data->data(), data->size(), stall_);
    _exit(complete ? 0 : 1);
  }
  close(fd);
  if (pid < 0) return false;
  pids_.push_back(pid);
  return true;
}

void TransferWriters::Reap() {
  std::erase_if(pids_, [](pid_t pid) {
    const pid_t ended = waitpid(pid, nullptr, WNOHANG);
    return ended == pid || (ended < 0 && errno == ECHILD);
  });
}

}  // namespace ostrel
