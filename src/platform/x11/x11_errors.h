#pragma once

// X protocol errors. Xlib reports them asynchronously through one process-wide
// handler; the program turns an unexpected one into a PlatformError at its
// next check, and traps the few it expects (a shared-memory attach the server
// refuses, a window that vanished) around the calls that may cause them.

#include <X11/Xlib.h>

#include <string>

namespace ostrel {

// Installs the program's handlers: protocol errors are recorded, and losing the
// connection ends the program at once with a message and status 1.
void InstallXErrorHandlers();

// Throws PlatformError describing the first unexpected protocol error since the
// last call, if there was one.
void ThrowIfXErrorPending();

// While alive, protocol errors caused by requests made on `display` since its
// construction are counted here instead of being treated as failures. Call
// XSync before reading Caught().
class ScopedErrorTrap {
 public:
  explicit ScopedErrorTrap(Display* display);
  ~ScopedErrorTrap();
  ScopedErrorTrap(const ScopedErrorTrap&) = delete;
  ScopedErrorTrap& operator=(const ScopedErrorTrap&) = delete;

  bool Caught() const { return caught_ > 0; }

 private:
  friend int HandleXError(Display*, XErrorEvent*);
  Display* display_;
  unsigned long first_request_;
  int caught_ = 0;
  ScopedErrorTrap* outer_;
};

}  // namespace ostrel
