#pragma once

// A program the tests run beside them: started with its standard output on
// a pipe the test reads lines from, and ended (SIGTERM, then waited for)
// with the object.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace ostrel::testing {

class ChildProcess {
 public:
  ChildProcess() = default;
  // Starts `argv` (its first word looked up on PATH) with the test's own
  // environment and `environment`'s "NAME=value" entries over it; its
  // standard error goes to /dev/null. started() is false, with the reason in
  // error(), when it could not start.
  explicit ChildProcess(const std::vector<std::string>& argv,
                        const std::vector<std::string>& environment = {});
  ~ChildProcess();
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;

  bool started() const { return pid_ > 0; }
  const std::string& error() const { return error_; }
  // Its next line of output, without the newline; empty when none comes
  // within `limit` or its output ends.
  std::string ReadLine(std::chrono::milliseconds limit);
  // Ends it at once (SIGKILL), as a crash would.
  void Kill();

 private:
  void End(int signal);

  pid_t pid_ = -1;
  int output_ = -1;
  std::string pending_;  // read past the last line returned
  std::string error_;
};

}  // namespace ostrel::testing
