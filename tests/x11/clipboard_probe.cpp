// Drives X11Clipboard on $DISPLAY for clipboard_test.py.
//
//   clipboard_probe own RGB_FILE WIDTH HEIGHT [--bgr] [--stale-clears] [--seconds N]
//                       [--handoff-ms N]
//       Owns CLIPBOARD with the picture in RGB_FILE (raw 8-bit RGB), prints
//       "owned", serves requests until SIGTERM or N seconds (printing "cleared"
//       if another client takes the clipboard), then hands the picture to a
//       clipboard manager and prints "handoff confirmed|refused MS ms".
//       --bgr keeps the picture in a blue-first pixel format.
//       --stale-clears, once owned, gets two SelectionClear events while the
//       server still names us the owner: the clear of a second client that took
//       the clipboard while we were taking it again, and a forged one that
//       client sends; prints "stale clears sent" (or why not) before serving.
//   clipboard_probe read OUT_FILE [--timeout-ms N]
//       Reads the clipboard's picture; prints "picture W H MS ms" and writes it
//       to OUT_FILE as raw RGB, or prints "no picture MS ms" and exits with 3.
//   clipboard_probe abandon
//       Starts an incremental image/png transfer from the owner, takes one
//       chunk, then destroys its window and exits: a requestor that goes away.
//       Prints "abandoned after N bytes" or "not incremental".
//   clipboard_probe requests
//       Sends the owner the requests tools do not: MULTIPLE with a target it
//       must refuse, a request naming no property (as obsolete clients do),
//       and one older than the ownership. Prints one line for each.
//   clipboard_probe has-manager
//       Exits with 0 when a clipboard manager runs, 1 otherwise.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/x11/x11_clipboard.h"

namespace {

using ostrel::Image;
using ostrel::PixelFormat;
using Clock = std::chrono::steady_clock;

volatile sig_atomic_t stop_requested = 0;
void OnStopSignal(int) { stop_requested = 1; }

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int Usage() {
  std::fprintf(stderr,
               "usage: clipboard_probe own RGB_FILE WIDTH HEIGHT [--bgr] [--stale-clears] "
               "[--seconds N] [--handoff-ms N]\n"
               "       clipboard_probe read OUT_FILE [--timeout-ms N]\n"
               "       clipboard_probe abandon | requests | has-manager\n");
  return 2;
}

// The value after option `name`, or `fallback`.
long Option(int argc, char** argv, const char* name, long fallback) {
  for (int i = 0; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return std::strtol(argv[i + 1], nullptr, 10);
  }
  return fallback;
}

bool Flag(int argc, char** argv, const char* name) {
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return true;
  }
  return false;
}

// A real server timestamp for `display`: the time of a zero-length append to a
// property of `window`, which selects PropertyChangeMask.
Time ServerTime(Display* display, Window window) {
  const Atom property = XInternAtom(display, "PROBE_TIME", False);
  XChangeProperty(display, window, property, XA_INTEGER, 8, PropModeAppend, nullptr, 0);
  XEvent event;
  XWindowEvent(display, window, PropertyChangeMask, &event);
  return event.xproperty.time;
}

// The second client of --stale-clears, and the time it takes CLIPBOARD at.
struct Taker {
  Display* display = nullptr;
  Window window = None;
  Time time = CurrentTime;
};
Taker taker;

// Runs after the first request of the clipboard's Own (the one that asks the
// server for a timestamp): the taker sets itself as the owner before our Own
// does, with a time our Own's timestamp is not earlier than, so the server
// sends us a SelectionClear that arrives after we own the clipboard again.
int TakeInBetween(Display* display) {
  XSetAfterFunction(display, nullptr);
  XSync(display, False);  // our timestamp's request reaches the server first
  XSetSelectionOwner(taker.display, XInternAtom(taker.display, "CLIPBOARD", False), taker.window,
                     taker.time);
  XSync(taker.display, False);
  return 0;
}

// The two stale clears of --stale-clears; false (having said why) when the
// setup did not produce them.
bool SendStaleClears(Display* display, ostrel::X11Clipboard& clipboard,
                     const ostrel::Picture& picture) {
  taker.display = XOpenDisplay(nullptr);
  if (taker.display == nullptr) {
    std::printf("no second connection\n");
    return false;
  }
  taker.window =
      XCreateSimpleWindow(taker.display, DefaultRootWindow(taker.display), 0, 0, 1, 1, 0, 0, 0);
  XSelectInput(taker.display, taker.window, PropertyChangeMask);
  const Atom selection = XInternAtom(taker.display, "CLIPBOARD", False);
  taker.time = ServerTime(taker.display, taker.window);  // after our first Own

  XSetAfterFunction(display, &TakeInBetween);
  clipboard.Own(picture);
  XEvent clear;
  if (XSetAfterFunction(display, nullptr) != nullptr ||
      XGetSelectionOwner(display, selection) != clipboard.window() ||
      !XCheckTypedWindowEvent(display, clipboard.window(), SelectionClear, &clear)) {
    std::printf("no clear after taking the clipboard again\n");
    return false;
  }
  clipboard.HandleEvent(clear);

  // Any client can send a SelectionClear of its own, timed now.
  XEvent forged{};
  forged.xselectionclear.type = SelectionClear;
  forged.xselectionclear.window = clipboard.window();
  forged.xselectionclear.selection = selection;
  forged.xselectionclear.time = ServerTime(taker.display, taker.window);
  XSendEvent(taker.display, clipboard.window(), False, NoEventMask, &forged);
  XSync(taker.display, False);
  std::printf("stale clears sent\n");
  return true;
}

int Own(Display* display, int argc, char** argv) {
  if (argc < 5) return Usage();
  const int width = std::atoi(argv[3]);
  const int height = std::atoi(argv[4]);
  const PixelFormat format = Flag(argc, argv, "--bgr") ? PixelFormat{0, 8, 16} : PixelFormat{};
  std::ifstream in(argv[2], std::ios::binary);
  const std::vector<char> rgb((std::istreambuf_iterator<char>(in)), {});
  if (width <= 0 || height <= 0 ||
      rgb.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3) {
    std::fprintf(stderr, "clipboard_probe: %s does not hold %dx%d RGB pixels\n", argv[2], width,
                 height);
    return 2;
  }
  auto image = std::make_shared<Image>(width, height);
  const auto* byte = reinterpret_cast<const unsigned char*>(rgb.data());
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x, byte += 3) {
      image->At(x, y) = (std::uint32_t{byte[0]} << format.red_shift) |
                        (std::uint32_t{byte[1]} << format.green_shift) |
                        (std::uint32_t{byte[2]} << format.blue_shift);
    }
  }

  ostrel::X11Clipboard clipboard(display, format);
  const ostrel::Picture picture = image;
  clipboard.Own(picture);
  // Our own picture comes back without asking the server.
  if (clipboard.Read(std::chrono::milliseconds(0)) != picture || !clipboard.Owned()) {
    std::printf("own picture not returned\n");
    return 4;
  }
  std::printf("owned\n");
  if (Flag(argc, argv, "--stale-clears") && !SendStaleClears(display, clipboard, picture)) {
    return 4;
  }
  std::fflush(stdout);

  const auto end = Clock::now() + std::chrono::seconds(Option(argc, argv, "--seconds", 20));
  sigset_t blocked;
  sigset_t during_wait;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  sigprocmask(SIG_BLOCK, &blocked, &during_wait);
  bool owned = true;
  while (stop_requested == 0 && Clock::now() < end) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      clipboard.HandleEvent(event);
    }
    if (owned && !clipboard.Owned()) {
      owned = false;
      std::printf("cleared\n");
      std::fflush(stdout);
    }
    pollfd connection{ConnectionNumber(display), POLLIN, 0};
    const timespec wait{0, 100 * 1000 * 1000};
    ppoll(&connection, 1, &wait, &during_wait);  // signals arrive only here
  }

  const auto start = Clock::now();
  const bool confirmed = clipboard.HandOffToManager(
      std::chrono::milliseconds(Option(argc, argv, "--handoff-ms", 3000)));
  std::printf("handoff %s %lld ms\n", confirmed ? "confirmed" : "refused",
              MillisecondsSince(start));
  return 0;
}

int Read(Display* display, int argc, char** argv) {
  if (argc < 3) return Usage();
  ostrel::X11Clipboard clipboard(display, PixelFormat{});
  const auto start = Clock::now();
  const ostrel::Picture picture =
      clipboard.Read(std::chrono::milliseconds(Option(argc, argv, "--timeout-ms", 3000)));
  const long long elapsed = MillisecondsSince(start);
  if (picture == nullptr) {
    std::printf("no picture %lld ms\n", elapsed);
    return 3;
  }
  std::vector<unsigned char> rgb;
  rgb.reserve(static_cast<std::size_t>(picture->Width()) *
              static_cast<std::size_t>(picture->Height()) * 3);
  for (int y = 0; y < picture->Height(); ++y) {
    for (int x = 0; x < picture->Width(); ++x) {
      const std::uint32_t pixel = picture->At(x, y);
      rgb.push_back(static_cast<unsigned char>(pixel >> 16));
      rgb.push_back(static_cast<unsigned char>(pixel >> 8));
      rgb.push_back(static_cast<unsigned char>(pixel));
    }
  }
  std::ofstream(argv[2], std::ios::binary)
      .write(reinterpret_cast<const char*>(rgb.data()), static_cast<std::streamsize>(rgb.size()));
  std::printf("picture %d %d %lld ms\n", picture->Width(), picture->Height(), elapsed);
  return 0;
}

// Waits up to five seconds for an event on `window` that `accept` takes.
template <typename Accept>
bool WaitFor(Display* display, Window window, Accept accept, XEvent* out) {
  const auto end = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < end) {
    while (XPending(display) > 0) {
      XNextEvent(display, out);
      if (out->xany.window == window && accept(*out)) return true;
    }
    pollfd connection{ConnectionNumber(display), POLLIN, 0};
    poll(&connection, 1, 100);
  }
  return false;
}

int Abandon(Display* display) {
  const Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
  const Atom png = XInternAtom(display, "image/png", False);
  const Atom incr = XInternAtom(display, "INCR", False);
  const Atom property = XInternAtom(display, "PROBE_DATA", False);
  const Window window =
      XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
  XSelectInput(display, window, PropertyChangeMask);
  XConvertSelection(display, clipboard, png, property, window, CurrentTime);
  XEvent event;
  if (!WaitFor(
          display, window, [](const XEvent& e) { return e.type == SelectionNotify; }, &event) ||
      event.xselection.property == None) {
    std::printf("no answer\n");
    return 1;
  }
  Atom type = None;
  int format = 0;
  unsigned long items = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  XGetWindowProperty(display, window, property, 0, 1 << 24, True, AnyPropertyType, &type, &format,
                     &items, &after, &data);
  if (data != nullptr) XFree(data);
  if (type != incr) {
    std::printf("not incremental\n");
    return 0;
  }
  // Deleting INCR asked for the first chunk; take it, which asks for the next,
  // and vanish at once.
  if (!WaitFor(
          display, window,
          [&](const XEvent& e) {
            return e.type == PropertyNotify && e.xproperty.atom == property &&
                   e.xproperty.state == PropertyNewValue;
          },
          &event)) {
    std::printf("no chunk\n");
    return 1;
  }
  XGetWindowProperty(display, window, property, 0, 1 << 24, True, AnyPropertyType, &type, &format,
                     &items, &after, &data);
  if (data != nullptr) XFree(data);
  XDestroyWindow(display, window);
  XSync(display, False);
  std::printf("abandoned after %lu bytes\n", items);
  return 0;
}

// A property of `window`, read and deleted.
struct Property {
  Atom type = None;
  int format = 0;
  std::vector<unsigned long> longs;  // format 32
  std::string bytes;                 // format 8
};
Property Take(Display* display, Window window, Atom property) {
  Property result;
  unsigned long items = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  XGetWindowProperty(display, window, property, 0, 1 << 24, True, AnyPropertyType, &result.type,
                     &result.format, &items, &after, &data);
  if (data != nullptr && result.format == 32) {
    const auto* longs = reinterpret_cast<const unsigned long*>(data);
    result.longs.assign(longs, longs + items);
  } else if (data != nullptr && result.format == 8) {
    result.bytes.assign(reinterpret_cast<const char*>(data), items);
  }
  if (data != nullptr) XFree(data);
  return result;
}

// Converts CLIPBOARD to `target` into `property` at `time`; the property the
// owner's answer names (None when refused), or nothing without an answer.
std::optional<Atom> Convert(Display* display, Window window, Atom target, Atom property,
                            Time time) {
  const Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
  XConvertSelection(display, clipboard, target, property, window, time);
  XEvent event;
  if (!WaitFor(
          display, window, [](const XEvent& e) { return e.type == SelectionNotify; }, &event)) {
    return std::nullopt;
  }
  return event.xselection.property;
}

int Requests(Display* display) {
  auto atom = [&](const char* name) { return XInternAtom(display, name, False); };
  const Window window =
      XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);

  // MULTIPLE: each pair converted on its own, the refused one marked None.
  const Atom pairs_property = atom("PROBE_PAIRS");
  const unsigned long pairs[] = {atom("image/png"), atom("PROBE_A"),   atom("UTF8_STRING"),
                                 atom("PROBE_B"),   atom("TIMESTAMP"), atom("PROBE_C")};
  XChangeProperty(display, window, pairs_property, atom("ATOM_PAIR"), 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(pairs), 6);
  const std::optional<Atom> multiple =
      Convert(display, window, atom("MULTIPLE"), pairs_property, CurrentTime);
  const Property written = Take(display, window, pairs_property);
  const Property png = Take(display, window, atom("PROBE_A"));
  const Property refused = Take(display, window, atom("PROBE_B"));
  const Property timestamp = Take(display, window, atom("PROBE_C"));
  const bool pairs_right = written.longs.size() == 6 && written.longs[1] == atom("PROBE_A") &&
                           written.longs[3] == None && written.longs[5] == atom("PROBE_C");
  std::printf(
      "multiple %s pairs %s png %s refused %s timestamp %s\n",
      multiple == pairs_property ? "answered" : "unanswered", pairs_right ? "marked" : "wrong",
      png.type == atom("image/png") && png.bytes.compare(0, 4, "\x89PNG") == 0 ? "ok" : "wrong",
      refused.type == None ? "absent" : "written",
      timestamp.type == XA_INTEGER && timestamp.format == 32 && timestamp.longs.size() == 1 &&
              timestamp.longs[0] != 0
          ? "ok"
          : "wrong");

  // An obsolete requestor names no property: the answer goes into the
  // property named after the target.
  const std::optional<Atom> obsolete = Convert(display, window, atom("TARGETS"), None, CurrentTime);
  const Property targets = Take(display, window, atom("TARGETS"));
  std::printf("obsolete %s\n",
              obsolete == atom("TARGETS") && targets.type == XA_ATOM && targets.longs.size() >= 4
                  ? "ok"
                  : "wrong");

  // A request timed before the owner took the clipboard is refused.
  const std::optional<Atom> stale = Convert(display, window, atom("image/png"), atom("PROBE_A"), 1);
  std::printf("stale %s\n", !stale ? "unanswered" : *stale == None ? "refused" : "served");
  XDestroyWindow(display, window);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string mode = argv[1];
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "clipboard_probe: cannot open the display\n");
    return 2;
  }
  int status = 2;
  try {
    if (mode == "own") {
      status = Own(display, argc, argv);
    } else if (mode == "read") {
      status = Read(display, argc, argv);
    } else if (mode == "requests") {
      status = Requests(display);
    } else if (mode == "abandon") {
      status = Abandon(display);
    } else if (mode == "has-manager") {
      status = XGetSelectionOwner(display, XInternAtom(display, "CLIPBOARD_MANAGER", False)) != None
                   ? 0
                   : 1;
    } else {
      status = Usage();
    }
  } catch (const ostrel::PlatformError& error) {
    std::fprintf(stderr, "clipboard_probe: %s\n", error.what());
    status = 1;
  }
  std::fflush(stdout);
  if (taker.display != nullptr) XCloseDisplay(taker.display);
  XCloseDisplay(display);
  return status;
}
