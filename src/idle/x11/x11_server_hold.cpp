#include "idle/x11/x11_server_hold.h"

#include <X11/extensions/XRes.h>

namespace ostrel {
namespace {

// A client may leave between the list and the question about it (BadValue
// or BadAccess then): such errors are the question's, not the connection's,
// so the process-wide handler is set aside meanwhile.
int errors_seen = 0;
int CountError(Display*, XErrorEvent*) {
  ++errors_seen;
  return 0;
}

class ErrorTrap {
 public:
  explicit ErrorTrap(Display* display) : display_(display) {
    XSync(display_, False);
    errors_seen = 0;
    previous_ = XSetErrorHandler(CountError);
  }
  ~ErrorTrap() {
    XSync(display_, False);
    XSetErrorHandler(previous_);
  }
  ErrorTrap(const ErrorTrap&) = delete;
  ErrorTrap& operator=(const ErrorTrap&) = delete;

 private:
  Display* display_;
  XErrorHandler previous_;
};

int ServerTimeout(Display* display) {
  int timeout = 0;
  int interval = 0;
  int prefer_blanking = 0;
  int allow_exposures = 0;
  XGetScreenSaver(display, &timeout, &interval, &prefer_blanking, &allow_exposures);
  return timeout;
}

}  // namespace

X11ServerHold::X11ServerHold(Display* display)
    : display_(display), timeout_at_start_(ServerTimeout(display)) {
  int event_base = 0;
  int error_base = 0;
  has_xres_ = XResQueryExtension(display_, &event_base, &error_base) != 0;
  // The resource type's name. The server makes its atom only when it first
  // answers an X-Resource question about it: asked for here, it is there.
  if (has_xres_) suspend_type_ = XInternAtom(display_, "SaverSuspend", False);
}

int X11ServerHold::SuspendingClients() {
  if (!has_xres_ || suspend_type_ == None) return 0;
  const ErrorTrap trap(display_);
  int count = 0;
  XResClient* clients = nullptr;
  if (XResQueryClients(display_, &count, &clients) == 0) return 0;
  int suspending = 0;
  for (int i = 0; i < count; ++i) {
    int kinds = 0;
    XResType* types = nullptr;
    if (XResQueryClientResources(display_, clients[i].resource_base, &kinds, &types) == 0) {
      continue;
    }
    for (int k = 0; k < kinds; ++k) {
      if (types[k].resource_type == suspend_type_ && types[k].count > 0) ++suspending;
    }
    XFree(types);
  }
  XFree(clients);
  return suspending;
}

void X11ServerHold::Ask(Answer answer) {
  const bool turned_off = timeout_at_start_ > 0 && ServerTimeout(display_) == 0;
  answer(turned_off || SuspendingClients() > 0);
}

}  // namespace ostrel
