// ostrel-wl-keyboard: a keyboard device for tests on a wlroots compositor that
// has no input devices of its own. It creates one virtual keyboard on the
// first seat, gives it a keymap of one key (space, Linux key code 57) at once,
// and reads commands from stdin, one a line:
//
//   key            the key pressed and released
//   quit
//
// Each command ends with a roundtrip, then "ok T" on stdout, so the caller
// knows the compositor has the events; T is when they were sent, in seconds of
// CLOCK_MONOTONIC, as ostrel-wl-pointer reports it. The keyboard is on the
// seat with its keymap from "ready" on: a key costs the compositor no keymap
// to compile, and a client that started after "ready" has had its wl_keyboard
// from the start, as with a desktop's keyboard. Usage: ostrel-wl-keyboard
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <string>

#include "virtual-keyboard-unstable-v1-client-protocol.h"

namespace {

constexpr std::uint32_t kKeySpace = 57;  // KEY_SPACE; X key code 65

// One key, <SPCE> at X key code 65, with the standard types and compat
// sections the compositor's xkbcommon has.
constexpr char kKeymap[] =
    "xkb_keymap {\n"
    "  xkb_keycodes \"ostrel\" { minimum = 8; maximum = 255; <SPCE> = 65; };\n"
    "  xkb_types \"ostrel\" { include \"complete\" };\n"
    "  xkb_compatibility \"ostrel\" { include \"complete\" };\n"
    "  xkb_symbols \"ostrel\" { key <SPCE> { [ space ] }; };\n"
    "};\n";

struct Globals {
  wl_seat* seat = nullptr;
  zwp_virtual_keyboard_manager_v1* manager = nullptr;
};

void on_global(void* data, wl_registry* registry, uint32_t name, const char* interface,
               uint32_t) {
  auto* g = static_cast<Globals*>(data);
  if (std::strcmp(interface, wl_seat_interface.name) == 0 && g->seat == nullptr) {
    g->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
  } else if (std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
    g->manager = static_cast<zwp_virtual_keyboard_manager_v1*>(
        wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
  }
}

void on_global_remove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener registry_listener{.global = on_global,
                                             .global_remove = on_global_remove};

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

// The keymap in a file the compositor maps; -1 on failure.
int keymap_file() {
  const int fd = memfd_create("ostrel-wl-keyboard-keymap", MFD_CLOEXEC);
  if (fd < 0) return -1;
  // The size given includes the terminating NUL, as xkbcommon's string expects.
  const auto size = static_cast<ssize_t>(sizeof kKeymap);
  if (write(fd, kKeymap, sizeof kKeymap) != size) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int main(int argc, char**) {
  if (argc != 1) {
    std::fprintf(stderr, "usage: ostrel-wl-keyboard\n");
    return 2;
  }
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "ostrel-wl-keyboard: no Wayland display\n");
    return 1;
  }
  Globals g;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registry_listener, &g);
  wl_display_roundtrip(display);
  if (g.seat == nullptr || g.manager == nullptr) {
    std::fprintf(stderr, "ostrel-wl-keyboard: the compositor offers no %s\n",
                 g.seat == nullptr ? "seat" : "zwp_virtual_keyboard_manager_v1");
    return 1;
  }
  const int keymap = keymap_file();
  if (keymap < 0) {
    std::perror("ostrel-wl-keyboard: the keymap file");
    return 1;
  }
  zwp_virtual_keyboard_v1* keyboard =
      zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(g.manager, g.seat);
  zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, keymap,
                                 static_cast<uint32_t>(sizeof kKeymap));
  close(keymap);  // sent with the request; the compositor has its own copy
  if (wl_display_roundtrip(display) < 0) return 1;
  std::cout << "ready" << std::endl;

  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "quit") break;
    if (line != "key") {
      std::cout << "error: cannot read '" << line << "'" << std::endl;
      continue;
    }
    const timespec sent = now();
    const uint32_t t = ms_of(sent);
    zwp_virtual_keyboard_v1_key(keyboard, t, kKeySpace, WL_KEYBOARD_KEY_STATE_PRESSED);
    zwp_virtual_keyboard_v1_key(keyboard, t, kKeySpace, WL_KEYBOARD_KEY_STATE_RELEASED);
    if (wl_display_roundtrip(display) < 0) {
      std::cout << "error: the compositor is gone" << std::endl;
      return 1;
    }
    report_sent(sent);
  }
  zwp_virtual_keyboard_v1_destroy(keyboard);
  zwp_virtual_keyboard_manager_v1_destroy(g.manager);
  wl_seat_destroy(g.seat);
  wl_registry_destroy(registry);
  wl_display_roundtrip(display);
  wl_display_disconnect(display);
  return 0;
}
