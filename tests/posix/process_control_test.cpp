// The writers that answer the clipboard's readers, and the detaching of the
// processes that outlive the caller, against real pipes and processes.

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/process_control.h"

namespace ostrel {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// Ends the test program instead of letting a blocked call hang it.
class HangGuard {
 public:
  HangGuard() { alarm(20); }
  ~HangGuard() { alarm(0); }
};

std::shared_ptr<const Bytes> Data(std::size_t size) {
  auto data = std::make_shared<Bytes>(size);
  for (std::size_t i = 0; i < size; ++i) (*data)[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return data;
}

// Reads `fd` to its end in pieces of `piece` bytes, pausing `pause` between
// them; nothing when no byte or end comes within 5 s.
std::optional<Bytes> ReadToEnd(int fd, std::size_t piece, std::chrono::milliseconds pause) {
  Bytes got;
  std::vector<std::uint8_t> buffer(piece);
  for (;;) {
    pollfd readable{fd, POLLIN, 0};
    if (poll(&readable, 1, 5000) <= 0) return std::nullopt;
    const ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n < 0) return std::nullopt;
    if (n == 0) return got;
    got.insert(got.end(), buffer.begin(), buffer.begin() + n);
    std::this_thread::sleep_for(pause);
  }
}

// One line from `fd`, without its newline; what came when none ends in 5 s.
std::string ReadLine(int fd) {
  std::string line;
  char c = 0;
  pollfd readable{fd, POLLIN, 0};
  while (poll(&readable, 1, 5000) > 0 && read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

bool AllEnd(TransferWriters& writers) {
  for (int i = 0; i < 1000 && writers.Running() > 0; ++i) {
    writers.Reap();
    std::this_thread::sleep_for(10ms);
  }
  return writers.Running() == 0;
}

TEST(CommandOutput, OutputOnlyFromACommandThatSucceedsInTime) {
  HangGuard guard;
  EXPECT_EQ(CommandOutput({"printf", "a\\nb"}, 2000ms), std::optional<std::string>("a\nb"));
  EXPECT_EQ(CommandOutput({"sh", "-c", "echo partial; exit 3"}, 2000ms), std::nullopt);
  EXPECT_EQ(CommandOutput({"ostrel-no-such-command"}, 2000ms), std::nullopt);
  // One that overruns is killed, not waited for.
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(CommandOutput({"sleep", "5"}, 300ms), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
}

TEST(WaylandClipboardTransfer, WritersNeverBlockTheCaller) {
  enum class Reader { kAtOnce, kSlowly, kNever, kClosesEarly };
  struct Case {
    const char* name;
    std::size_t size;
    Reader reader;
  };
  const Case cases[] = {
      {"small, read at once", 1000, Reader::kAtOnce},
      {"empty", 0, Reader::kAtOnce},
      {"far larger than a pipe, read slowly", 3 << 20, Reader::kSlowly},
      {"never read: the writer gives up after the stall", 3 << 20, Reader::kNever},
      {"reader gone: the writer ends", 3 << 20, Reader::kClosesEarly},
  };
  HangGuard guard;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TransferWriters writers(300ms);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const auto data = Data(c.size);
    ASSERT_TRUE(writers.Start(ends[1], data));  // returns with nothing read yet
    EXPECT_EQ(writers.Running(), 1U);
    switch (c.reader) {
      case Reader::kAtOnce:
      case Reader::kSlowly: {
        const auto got = c.reader == Reader::kSlowly ? ReadToEnd(ends[0], 64 << 10, 5ms)
                                                     : ReadToEnd(ends[0], 1 << 20, 0ms);
        ASSERT_TRUE(got.has_value()) << "no end of data: a copy of the fd is still open";
        EXPECT_TRUE(*got == *data);
        break;
      }
      case Reader::kNever: {
        EXPECT_TRUE(AllEnd(writers));
        const auto got = ReadToEnd(ends[0], 1 << 20, 0ms);
        ASSERT_TRUE(got.has_value());
        EXPECT_LT(got->size(), c.size);
        break;
      }
      case Reader::kClosesEarly:
        break;
    }
    close(ends[0]);
    EXPECT_TRUE(AllEnd(writers)) << "a writer was never collected";
  }
}

// What a detached process finds itself with, written by it for the test.
std::string DescribeSelf(int keep_fd) {
  std::string report = getsid(0) == getpid() ? "own-session" : "caller's-session";
  struct sigaction hup {};
  sigaction(SIGHUP, nullptr, &hup);
  report += hup.sa_handler == SIG_IGN ? " hup-ignored" : " hup-handled";
  itimerval timer{};
  getitimer(ITIMER_REAL, &timer);
  report += timer.it_value.tv_sec == 0 && timer.it_value.tv_usec == 0 ? " no-timer" : " timer";
  DIR* dir = opendir("/proc/self/fd");
  std::map<int, std::string> fds;
  for (dirent* entry; dir != nullptr && (entry = readdir(dir)) != nullptr;) {
    const int fd = std::atoi(entry->d_name);
    if (entry->d_name[0] == '.' || fd == dirfd(dir)) continue;
    char target[256] = {};
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    fds[fd] = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "?";
  }
  if (dir != nullptr) closedir(dir);
  for (const auto& [fd, target] : fds) {
    const bool socket = target.rfind("socket:", 0) == 0;
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about
    // " " + std::string at -O2.
    report += ' ';
    report += std::to_string(fd);
    report += fd == keep_fd ? "=kept" : "=";
    report += socket ? std::string("socket") : target;
  }
  return report;
}

extern "C" void ExitOnSignal(int) { _exit(3); }

TEST(WaylandClipboardTransfer, DetachedProcessHoldsNothingOfTheCaller) {
  struct Case {
    int keep_fd;
    std::string expected;
  };
  const Case cases[] = {
      {10, "own-session hup-ignored no-timer 0=/dev/null 1=/dev/null 2=/dev/null 10=keptsocket"},
      {0, "own-session hup-ignored no-timer 0=keptsocket 1=/dev/null 2=/dev/null"},
  };
  HangGuard guard;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keep_fd);
    int link[2];
    int caller_stdout[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, link), 0);
    ASSERT_EQ(pipe(caller_stdout), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // As the program is when it forks: stdout a pipe someone waits on, the
      // ending signals handled, a watchdog timer armed, more fds open.
      dup2(caller_stdout[1], STDOUT_FILENO);
      dup2(link[1], c.keep_fd);
      signal(SIGHUP, ExitOnSignal);
      const itimerval watchdog{{0, 0}, {100, 0}};
      setitimer(ITIMER_REAL, &watchdog, nullptr);
      DetachFromCaller(c.keep_fd);
      const std::string report = DescribeSelf(c.keep_fd) + "\n";
      if (write(c.keep_fd, report.data(), report.size()) < 0) _exit(1);
      char byte;
      while (read(c.keep_fd, &byte, 1) > 0) {
      }
      _exit(0);
    }
    close(link[1]);
    close(caller_stdout[1]);
    const std::string report = ReadLine(link[0]);
    // While the detached process lives on, whoever reads the caller's stdout
    // has seen its end.
    const auto caller_output = ReadToEnd(caller_stdout[0], 4096, 0ms);
    close(link[0]);
    close(caller_stdout[0]);
    // Closing the link ends the process, unless it still holds our end too.
    int status = 0;
    for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    if (kill(pid, 0) == 0) {
      ADD_FAILURE() << "the detached process holds the caller's end of the link";
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    EXPECT_EQ(report, c.expected);
    EXPECT_TRUE(caller_output.has_value()) << "the detached process holds the caller's stdout";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
}

}  // namespace
}  // namespace ostrel
