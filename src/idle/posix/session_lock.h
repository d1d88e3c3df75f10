#pragma once

// One launcher per session: a lock file for each display the launcher was
// given (idle/session_lock_names.h), held with flock for as long as it runs
// (the kernel lets go when the process ends, however it ends), with the
// holder's process number inside for the second launcher's line. In
// $XDG_RUNTIME_DIR, else in /tmp under the user's number.

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ostrel {

class SessionLock {
 public:
  // Takes the locks of the displays in DISPLAY and WAYLAND_DISPLAY. When
  // another launcher holds one: nullptr, with the line to write in
  // `refusal`. A lock that cannot be made at all (no folder to write in) is
  // left out with a line in `warning`: the launcher runs without it.
  static std::unique_ptr<SessionLock> Take(std::string* refusal, std::string* warning);
  ~SessionLock();
  SessionLock(const SessionLock&) = delete;
  SessionLock& operator=(const SessionLock&) = delete;

 private:
  SessionLock() = default;
  std::vector<int> fds_;
};

}  // namespace ostrel
