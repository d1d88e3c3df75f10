#pragma once

#include <chrono>
#include <stdexcept>

namespace ostrel {

// A system call that failed. It ends the run: the program's outermost frame
// catches it and reports it. Where it is met inside a dispatch of the system
// (a window procedure, a libwayland listener), the window's EventGate keeps
// it and the backend throws it again once the dispatch is over.
class PlatformError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// No display server answered where the program looked for one (none is
// there, or one accepted the connection and never answered): another
// backend may be tried.
class NoDisplayServer : public PlatformError {
 public:
  using PlatformError::PlatformError;
};

// How long a display server that accepted the connection is given to answer
// (a dead SSH tunnel, a hung compositor) before the program gives up on it.
inline constexpr std::chrono::milliseconds kDisplayServerPatience{4500};

}  // namespace ostrel
