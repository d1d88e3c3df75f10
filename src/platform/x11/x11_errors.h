#pragma once

// X protocol errors. Xlib reports them asynchronously through one process-wide
// handler; the program turns an unexpected one into a PlatformError at its
// next check, and traps the few it expects (a shared-memory attach the server
// refuses, a requestor window that vanished) around the calls that may cause
// them.

#include <X11/Xlib.h>

namespace ostrel {

// Installs the program's handlers: protocol errors are recorded, and losing the
// connection ends the program at once with a message and status 1.
void InstallXErrorHandlers();

// Throws PlatformError describing the first unexpected protocol error since the
// last call, if there was one.
void ThrowIfXErrorPending();

// While alive, protocol errors caused by requests made on `display` since its
// construction are recorded here instead of reaching the handler in place
// before it (the program's, or Xlib's default, which ends the process); errors
// of earlier requests still go there. Traps nest: an error belongs to the
// innermost trap that was alive when its request was made. Every request made
// under the trap has been answered before it ends, so none of their errors
// arrives later at the outer handler. Single-threaded, like the program.
class ScopedErrorTrap {
 public:
  explicit ScopedErrorTrap(Display* display);
  ~ScopedErrorTrap();
  ScopedErrorTrap(const ScopedErrorTrap&) = delete;
  ScopedErrorTrap& operator=(const ScopedErrorTrap&) = delete;

  // Waits until the server has processed every request so far (no round trip
  // when the last one has been answered already) and tells whether any of
  // those made under the trap failed.
  bool Failed();

 private:
  static int Handle(Display* display, XErrorEvent* error);
  // Sends every request made so far and waits for the server to process it,
  // unless the last request has been answered already.
  void SyncIfUnanswered();

  static ScopedErrorTrap* active_;
  Display* display_;
  unsigned long first_request_;
  ScopedErrorTrap* outer_;
  XErrorHandler previous_ = nullptr;
  bool failed_ = false;
};

}  // namespace ostrel
