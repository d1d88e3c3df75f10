#pragma once

// The signals the launcher's loop takes: SIGINT, SIGTERM and SIGHUP (end)
// and SIGCHLD (the saver ended), blocked and read from a signalfd that the
// loop polls beside the session's descriptors. One descriptor for both, on
// every kernel; a blocked signal stays pending until read, so none is lost
// between two polls.

#include <memory>
#include <string>

namespace ostrel {

class LauncherSignals {
 public:
  struct Received {
    bool end = false;    // SIGINT, SIGTERM or SIGHUP
    bool child = false;  // SIGCHLD
  };

  // Blocks the signals and opens the descriptor; null with the reason when
  // the system refuses.
  static std::unique_ptr<LauncherSignals> Take(std::string* error);
  ~LauncherSignals();
  LauncherSignals(const LauncherSignals&) = delete;
  LauncherSignals& operator=(const LauncherSignals&) = delete;

  int fd() const { return fd_; }
  // Reads every signal pending, without waiting.
  Received Read();

 private:
  explicit LauncherSignals(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace ostrel
