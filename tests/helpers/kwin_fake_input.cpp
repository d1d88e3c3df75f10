// ostrel-kwin-input: pointer and keyboard input for tests on KWin, through its
// org_kde_kwin_fake_input global (offered to every client when KWin runs with
// KWIN_WAYLAND_NO_PERMISSION_CHECKS=1). Reads commands from stdin, one a line:
//
//   move X Y       absolute move to (X, Y) in the layout's logical coordinates
//   rel DX DY      relative move
//   press N        button N down (evdev code: BTN_LEFT is 0x110)
//   release N      button N up
//   wheel STEPS    vertical wheel, STEPS clicks (negative: up)
//   keydown CODE   key down (evdev code: KEY_SPACE is 57)
//   keyup CODE     key up
//   key CODE       key down, then up
//   quit
//
// Each command ends with a roundtrip, then "ok" on stdout, so that the caller
// knows KWin has the requests; a line it cannot read is answered "error: ...".
#include <wayland-client.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "fake-input-client-protocol.h"
#include "line_commands.h"

namespace {

using ostrel::test::parse_fixed_range;
using ostrel::test::parse_i32;
using ostrel::test::parse_u32;

constexpr uint32_t kNeededVersion = 4;  // keyboard_key came with version 4

struct Globals {
  org_kde_kwin_fake_input* fake_input = nullptr;
  uint32_t version = 0;
};

void on_global(void* data, wl_registry* registry, uint32_t name, const char* interface,
               uint32_t version) {
  auto* g = static_cast<Globals*>(data);
  if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0 &&
      g->fake_input == nullptr) {
    g->version = version < kNeededVersion ? version : kNeededVersion;
    g->fake_input = static_cast<org_kde_kwin_fake_input*>(
        wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, g->version));
  }
}

void on_global_remove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener registry_listener{
    .global = on_global,
    .global_remove = on_global_remove,
};

// Sends what one line asks for; false when the line cannot be read.
bool send(org_kde_kwin_fake_input* input, const std::string& command, const std::string& a,
          const std::string& b) {
  if (command == "move" || command == "rel") {
    double x = 0;
    double y = 0;
    if (!parse_fixed_range(a, x) || !parse_fixed_range(b, y)) return false;
    if (command == "move") {
      if (x < 0 || y < 0) return false;
      org_kde_kwin_fake_input_pointer_motion_absolute(input, wl_fixed_from_double(x),
                                                      wl_fixed_from_double(y));
    } else {
      org_kde_kwin_fake_input_pointer_motion(input, wl_fixed_from_double(x),
                                             wl_fixed_from_double(y));
    }
    return true;
  }
  if (command == "press" || command == "release") {
    uint32_t button = 0;
    if (!parse_u32(a, button)) return false;
    org_kde_kwin_fake_input_button(input, button,
                                   command == "press" ? WL_POINTER_BUTTON_STATE_PRESSED
                                                      : WL_POINTER_BUTTON_STATE_RELEASED);
    return true;
  }
  if (command == "wheel") {
    int32_t steps = 0;
    if (!parse_i32(a, steps) || steps == 0 || steps <= -100 || steps >= 100) return false;
    // One click is 15 units of scroll, as a mouse wheel reports it.
    org_kde_kwin_fake_input_axis(input, WL_POINTER_AXIS_VERTICAL_SCROLL,
                                 wl_fixed_from_int(15 * steps));
    return true;
  }
  if (command == "keydown" || command == "keyup" || command == "key") {
    uint32_t code = 0;
    if (!parse_u32(a, code)) return false;
    if (command != "keyup") {
      org_kde_kwin_fake_input_keyboard_key(input, code, WL_KEYBOARD_KEY_STATE_PRESSED);
    }
    if (command != "keydown") {
      org_kde_kwin_fake_input_keyboard_key(input, code, WL_KEYBOARD_KEY_STATE_RELEASED);
    }
    return true;
  }
  return false;
}

}  // namespace

int main() {
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "ostrel-kwin-input: no Wayland display\n");
    return 1;
  }
  Globals g;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registry_listener, &g);
  wl_display_roundtrip(display);
  if (g.fake_input == nullptr || g.version < kNeededVersion) {
    std::fprintf(stderr,
                 "ostrel-kwin-input: the compositor offers no org_kde_kwin_fake_input v%u "
                 "(KWin offers it with KWIN_WAYLAND_NO_PERMISSION_CHECKS=1)\n",
                 kNeededVersion);
    return 1;
  }
  org_kde_kwin_fake_input_authenticate(g.fake_input, "ostrel tests",
                                       "input for the end-to-end tests");
  if (wl_display_roundtrip(display) < 0) return 1;
  std::cout << "ready" << std::endl;

  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command;
    std::string a;
    std::string b;
    in >> command >> a >> b;
    if (command == "quit") break;
    if (!send(g.fake_input, command, a, b)) {
      std::cout << "error: cannot read '" << line << "'" << std::endl;
      continue;
    }
    if (wl_display_roundtrip(display) < 0) {
      std::cout << "error: the compositor is gone" << std::endl;
      return 1;
    }
    std::cout << "ok" << std::endl;
  }
  org_kde_kwin_fake_input_destroy(g.fake_input);
  wl_registry_destroy(registry);
  wl_display_roundtrip(display);
  wl_display_disconnect(display);
  return 0;
}
