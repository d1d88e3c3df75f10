#pragma once

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

}  // namespace ostrel
