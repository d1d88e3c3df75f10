#include "platform/wayland/clipboard/wl_clipboard_serve.h"

#include <poll.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/posix/warning.h"

namespace ostrel {
namespace {

// How often an idle server wakes up to collect writers that have ended.
constexpr int kReapIntervalMs = 1000;

void ReportFailure(const char* why) {
  Warn(std::string("the picture cannot stay on the clipboard after the program ends: ") + why);
}

// Dispatches `queue` until `serving` turns false or the connection fails.
void Serve(wl_display* display, wl_event_queue* queue, const bool& serving,
           TransferWriters& writers) {
  const int fd = wl_display_get_fd(display);
  while (serving) {
    while (wl_display_prepare_read_queue(display, queue) != 0) {
      if (wl_display_dispatch_queue_pending(display, queue) < 0 || !serving) return;
    }
    // Our few requests (destroying offers) go out; a full socket keeps them
    // for the next round.
    if (wl_display_flush(display) < 0 && errno != EAGAIN) {
      wl_display_cancel_read(display);
      return;
    }
    pollfd connection{fd, POLLIN, 0};
    const int ready = poll(&connection, 1, writers.Running() > 0 ? kReapIntervalMs : -1);
    if (ready > 0) {
      if (wl_display_read_events(display) < 0) return;  // the compositor is gone
    } else {
      wl_display_cancel_read(display);
      if (ready < 0 && errno != EINTR) return;
    }
    if (wl_display_dispatch_queue_pending(display, queue) < 0) return;
    writers.Reap();
  }
}

}  // namespace

bool ForkServer(wl_display* display, const std::function<void(wl_event_queue*)>& adopt,
                const bool& serving, TransferWriters& writers) noexcept {
  if (const int error = wl_display_get_error(display); error != 0) {
    ReportFailure(std::strerror(error));
    return false;
  }
  // What the program has asked of the compositor so far goes out now; what
  // a full socket keeps back is sent by the child, never by both.
  wl_display_flush(display);
  const pid_t pid = ForkDetached(wl_display_get_fd(display));
  if (pid < 0) {
    ReportFailure(std::strerror(errno));
    return false;
  }
  if (pid > 0) return true;

  // The serving process. It never returns into the program.
  wl_event_queue* queue = wl_display_create_queue(display);
  if (queue != nullptr) {
    try {
      adopt(queue);
      Serve(display, queue, serving, writers);
    } catch (...) {
      // Nothing to report to: stderr is /dev/null now.
    }
  }
  _exit(0);
}

}  // namespace ostrel
