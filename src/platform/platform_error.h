#pragma once

#include <stdexcept>

namespace ostrel {

// A system call that failed. Nothing in the program catches it but the program's
// outermost frame, which ends the run and reports it.
class PlatformError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace ostrel
