#pragma once

// The saver as a child process: where its program is, starting it with the
// signals the launcher blocks unblocked and at their defaults (a blocked
// SIGTERM would be inherited across exec, and the saver could not be
// stopped), signalling it, and reaping it.

#include <sys/types.h>

#include <optional>
#include <string>

#include "idle/launcher.h"

namespace ostrel {

// The saver beside the running launcher (/proc/self/exe's folder), else on
// PATH (idle/saver_location.h); nullopt, with the line that says why in
// `missing`, when there is none.
std::optional<std::string> LocateSaver(std::string* missing);

class SaverProcess {
 public:
  explicit SaverProcess(std::string path) : path_(std::move(path)) {}
  ~SaverProcess();
  SaverProcess(const SaverProcess&) = delete;
  SaverProcess& operator=(const SaverProcess&) = delete;

  const std::string& path() const { return path_; }
  bool running() const { return pid_ > 0; }

  // Starts the saver with no arguments and the launcher's environment and
  // standard descriptors; false with the reason when it could not be run.
  bool Start(std::string* error);
  // Sends the running saver a signal.
  void Signal(int signal_number);
  // Once SIGCHLD came: how the saver ended, when it has; nullopt while it runs.
  std::optional<SaverEnd> Reap();

 private:
  std::string path_;
  pid_t pid_ = -1;
};

}  // namespace ostrel
