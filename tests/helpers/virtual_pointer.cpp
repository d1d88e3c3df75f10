// ostrel-wl-pointer: a pointer device for tests on a wlroots compositor that
// has no input devices of its own. It creates one virtual pointer on the first
// seat and reads commands from stdin, one a line:
//
//   move X Y       absolute move to (X, Y) in the layout's logical coordinates
//                  (decimals allowed: fractions of a pixel)
//   rel DX DY      relative move
//   press N        button N down (BTN_LEFT is 0x110; decimal or 0x hex)
//   release N      button N up
//   wheel STEPS    vertical wheel, STEPS clicks (negative: up)
//   quit
//
// Each command ends with a frame and a roundtrip, then "ok T" on stdout, so the
// caller knows the compositor has the events; T is when they were sent, in
// seconds of CLOCK_MONOTONIC (so that an exit latency counts none of the time
// the command spent reaching this process). Usage:
//   ostrel-wl-pointer LAYOUT_WIDTH LAYOUT_HEIGHT
// The layout size (the union of the outputs' logical boxes) is the extent of
// the absolute moves, so that X and Y land exactly where asked.
#include <wayland-client.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>

#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace {

struct Globals {
  wl_seat* seat = nullptr;
  zwlr_virtual_pointer_manager_v1* manager = nullptr;
};

void on_global(void* data, wl_registry* registry, uint32_t name, const char* interface,
               uint32_t version) {
  auto* g = static_cast<Globals*>(data);
  if (std::strcmp(interface, wl_seat_interface.name) == 0 && g->seat == nullptr) {
    g->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
  } else if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
    g->manager = static_cast<zwlr_virtual_pointer_manager_v1*>(
        wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface,
                         version < 2 ? version : 2));
  }
}

void on_global_remove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener registry_listener{on_global, on_global_remove};

timespec now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}

// An event's time: milliseconds of CLOCK_MONOTONIC.
uint32_t ms_of(const timespec& ts) {
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000U +
                               static_cast<uint64_t>(ts.tv_nsec) / 1000000U);
}

// "ok" and the time, in seconds of CLOCK_MONOTONIC (Python's time.monotonic()),
// just before the command's requests were sent.
void report_sent(const timespec& sent) {
  std::cout << "ok " << sent.tv_sec << '.' << std::setw(9) << std::setfill('0') << sent.tv_nsec
            << std::endl;
}

bool parse_u32(const std::string& text, uint32_t& out) {
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value > UINT32_MAX) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t extent_w = 0;
  uint32_t extent_h = 0;
  if (argc != 3 || !parse_u32(argv[1], extent_w) || !parse_u32(argv[2], extent_h) ||
      extent_w == 0 || extent_h == 0) {
    std::fprintf(stderr, "usage: ostrel-wl-pointer LAYOUT_WIDTH LAYOUT_HEIGHT\n");
    return 2;
  }
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "ostrel-wl-pointer: no Wayland display\n");
    return 1;
  }
  Globals g;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registry_listener, &g);
  wl_display_roundtrip(display);
  if (g.seat == nullptr || g.manager == nullptr) {
    std::fprintf(stderr, "ostrel-wl-pointer: the compositor offers no %s\n",
                 g.seat == nullptr ? "seat" : "zwlr_virtual_pointer_manager_v1");
    return 1;
  }
  zwlr_virtual_pointer_v1* pointer =
      zwlr_virtual_pointer_manager_v1_create_virtual_pointer(g.manager, g.seat);
  if (wl_display_roundtrip(display) < 0) return 1;
  std::cout << "ready" << std::endl;

  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command;
    std::string a;
    std::string b;
    in >> command >> a >> b;
    const timespec sent = now();
    const uint32_t t = ms_of(sent);
    bool ok = true;
    if (command == "move") {
      // The extent is the layout's scaled up as far as 32 bits allow, so that
      // fractions of a pixel can be asked for too.
      const uint32_t fine = UINT32_MAX / (extent_w > extent_h ? extent_w : extent_h);
      char* end_x = nullptr;
      char* end_y = nullptr;
      const double x = std::strtod(a.c_str(), &end_x);
      const double y = std::strtod(b.c_str(), &end_y);
      ok = end_x != a.c_str() && *end_x == '\0' && end_y != b.c_str() && *end_y == '\0' &&
           x >= 0 && y >= 0 && x <= extent_w && y <= extent_h;
      if (ok) {
        zwlr_virtual_pointer_v1_motion_absolute(
            pointer, t, static_cast<uint32_t>(std::lround(x * fine)),
            static_cast<uint32_t>(std::lround(y * fine)), extent_w * fine, extent_h * fine);
      }
    } else if (command == "rel") {
      char* end_x = nullptr;
      char* end_y = nullptr;
      const double dx = std::strtod(a.c_str(), &end_x);
      const double dy = std::strtod(b.c_str(), &end_y);
      ok = end_x != a.c_str() && end_y != b.c_str();
      if (ok) {
        zwlr_virtual_pointer_v1_motion(pointer, t, wl_fixed_from_double(dx),
                                       wl_fixed_from_double(dy));
      }
    } else if (command == "press" || command == "release") {
      uint32_t button = 0;
      ok = parse_u32(a, button);
      if (ok) {
        zwlr_virtual_pointer_v1_button(pointer, t, button,
                                       command == "press" ? WL_POINTER_BUTTON_STATE_PRESSED
                                                          : WL_POINTER_BUTTON_STATE_RELEASED);
      }
    } else if (command == "wheel") {
      char* end = nullptr;
      const long steps = std::strtol(a.c_str(), &end, 10);
      ok = end != a.c_str() && steps != 0 && steps > -100 && steps < 100;
      if (ok) {
        // One click is 15 units of scroll, as a mouse wheel reports it.
        zwlr_virtual_pointer_v1_axis_source(pointer, WL_POINTER_AXIS_SOURCE_WHEEL);
        zwlr_virtual_pointer_v1_axis_discrete(pointer, t, WL_POINTER_AXIS_VERTICAL_SCROLL,
                                              wl_fixed_from_int(static_cast<int>(15 * steps)),
                                              static_cast<int32_t>(steps));
      }
    } else if (command == "quit") {
      break;
    } else {
      ok = false;
    }
    if (!ok) {
      std::cout << "error: cannot read '" << line << "'" << std::endl;
      continue;
    }
    zwlr_virtual_pointer_v1_frame(pointer);
    if (wl_display_roundtrip(display) < 0) {
      std::cout << "error: the compositor is gone" << std::endl;
      return 1;
    }
    report_sent(sent);
  }
  zwlr_virtual_pointer_v1_destroy(pointer);
  zwlr_virtual_pointer_manager_v1_destroy(g.manager);
  wl_seat_destroy(g.seat);
  wl_registry_destroy(registry);
  wl_display_roundtrip(display);
  wl_display_disconnect(display);
  return 0;
}
