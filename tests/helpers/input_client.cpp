// ostrel-wl-input-client: a plain fullscreen window that reports the input it
// gets, for checking that a harness's injected input reaches a client on
// compositors ostrel's own surfaces cannot yet run on. Usage:
//   ostrel-wl-input-client [OUTPUT_NAME]
// It maps one xdg_toplevel, fullscreen (on the named output when the
// compositor announces that name through xdg-output), painted one flat colour,
// and prints one line per event on stdout:
//
//   ready WIDTH HEIGHT          shown: the first frame callback is done
//   configure WIDTH HEIGHT      a later size
//   enter X Y | motion X Y      pointer, surface coordinates
//   leave
//   button CODE pressed|released
//   axis AXIS VALUE
//   focus | unfocus             keyboard focus
//   key CODE pressed|released   evdev code
//   closed                      the compositor asked it to close
//
// It ends on "quit" or at the end of stdin, and with status 1 when the
// compositor goes away.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "xdg-output-unstable-v1-client-protocol.h"
#include "xdg-shell-client-protocol.h"

namespace {

constexpr uint32_t kColour = 0xFF336699;  // XRGB: a colour no desktop picture has plainly

struct NamedOutput {
  wl_output* output = nullptr;
  zxdg_output_v1* xdg = nullptr;
  std::string name;
};

struct Client {
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  xdg_wm_base* wm_base = nullptr;
  wl_seat* seat = nullptr;
  zxdg_output_manager_v1* output_manager = nullptr;
  std::vector<NamedOutput> outputs;
  wl_pointer* pointer = nullptr;
  wl_keyboard* keyboard = nullptr;
  wl_surface* surface = nullptr;
  xdg_surface* xdg = nullptr;
  xdg_toplevel* toplevel = nullptr;
  wl_buffer* buffer = nullptr;
  int32_t width = 0, height = 0;                   // the buffer's size
  int32_t pending_width = 0, pending_height = 0;  // from the last toplevel configure
  bool shown = false;  // the first frame callback came
  bool mapped = false;
  bool closed = false;
};

// One line on stdout, flushed at once: the harness waits for it.
void say(const char* format, auto... args) {
  if constexpr (sizeof...(args) == 0) {
    std::fputs(format, stdout);
  } else {
    std::printf(format, args...);
  }
  std::putchar('\n');
  std::fflush(stdout);
}

// A buffer of the window's size in one flat colour; false when memory fails.
bool make_buffer(Client& c, int32_t width, int32_t height) {
  const int32_t stride = width * 4;
  const size_t size = static_cast<size_t>(stride) * static_cast<size_t>(height);
  const int fd = memfd_create("ostrel-wl-input-client", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
    if (fd >= 0) close(fd);
    return false;
  }
  void* pixels = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (pixels == MAP_FAILED) {
    close(fd);
    return false;
  }
  auto* p = static_cast<uint32_t*>(pixels);
  for (size_t i = 0; i < size / 4; ++i) p[i] = kColour;
  munmap(pixels, size);
  wl_shm_pool* pool = wl_shm_create_pool(c.shm, fd, static_cast<int32_t>(size));
  close(fd);
  if (c.buffer != nullptr) wl_buffer_destroy(c.buffer);
  c.buffer = wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  c.width = width;
  c.height = height;
  return true;
}

// ---------------------------------------------------------------- the window

void on_ping(void*, xdg_wm_base* base, uint32_t serial) { xdg_wm_base_pong(base, serial); }

const xdg_wm_base_listener wm_base_listener{.ping = on_ping};

void on_frame_done(void* data, wl_callback* callback, uint32_t) {
  static_cast<Client*>(data)->shown = true;
  wl_callback_destroy(callback);
}

const wl_callback_listener frame_listener{.done = on_frame_done};

void on_xdg_configure(void* data, xdg_surface* surface, uint32_t serial) {
  auto* c = static_cast<Client*>(data);
  xdg_surface_ack_configure(surface, serial);
  // No size means the client chooses; a fullscreen window normally gets one.
  const int32_t w = c->pending_width > 0 ? c->pending_width : 640;
  const int32_t h = c->pending_height > 0 ? c->pending_height : 480;
  if (c->buffer == nullptr || w != c->width || h != c->height) {
    if (!make_buffer(*c, w, h)) {
      std::fprintf(stderr, "ostrel-wl-input-client: no memory for a %dx%d buffer\n", w, h);
      c->closed = true;
      return;
    }
    if (c->mapped) say("configure %d %d", w, h);
  }
  wl_surface_attach(c->surface, c->buffer, 0, 0);
  wl_surface_damage(c->surface, 0, 0, w, h);
  if (!c->mapped) {
    // The compositor calls back once it has drawn the window: only then can
    // the harness expect input on it (mutter sends none to a surface it has
    // not shown yet).
    wl_callback_add_listener(wl_surface_frame(c->surface), &frame_listener, c);
  }
  wl_surface_commit(c->surface);
}

const xdg_surface_listener xdg_surface_listener_table{.configure = on_xdg_configure};

void on_toplevel_configure(void* data, xdg_toplevel*, int32_t width, int32_t height, wl_array*) {
  auto* c = static_cast<Client*>(data);
  c->pending_width = width;
  c->pending_height = height;
}

void on_toplevel_close(void* data, xdg_toplevel*) {
  static_cast<Client*>(data)->closed = true;
  say("closed");
}

void on_configure_bounds(void*, xdg_toplevel*, int32_t, int32_t) {}

void on_wm_capabilities(void*, xdg_toplevel*, wl_array*) {}

const xdg_toplevel_listener toplevel_listener{
    .configure = on_toplevel_configure,
    .close = on_toplevel_close,
    .configure_bounds = on_configure_bounds,
    .wm_capabilities = on_wm_capabilities,
};

// ---------------------------------------------------------------- input

void on_enter(void*, wl_pointer*, uint32_t, wl_surface*, wl_fixed_t x, wl_fixed_t y) {
  say("enter %.3f %.3f", wl_fixed_to_double(x), wl_fixed_to_double(y));
}

void on_leave(void*, wl_pointer*, uint32_t, wl_surface*) { say("leave"); }

void on_motion(void*, wl_pointer*, uint32_t, wl_fixed_t x, wl_fixed_t y) {
  say("motion %.3f %.3f", wl_fixed_to_double(x), wl_fixed_to_double(y));
}

void on_button(void*, wl_pointer*, uint32_t, uint32_t, uint32_t button, uint32_t state) {
  say("button %u %s", button, state == WL_POINTER_BUTTON_STATE_PRESSED ? "pressed" : "released");
}

void on_axis(void*, wl_pointer*, uint32_t, uint32_t axis, wl_fixed_t value) {
  say("axis %u %.3f", axis, wl_fixed_to_double(value));
}

void on_frame(void*, wl_pointer*) {}
void on_axis_source(void*, wl_pointer*, uint32_t) {}
void on_axis_stop(void*, wl_pointer*, uint32_t, uint32_t) {}
void on_axis_discrete(void*, wl_pointer*, uint32_t, int32_t) {}
void on_axis_value120(void*, wl_pointer*, uint32_t, int32_t) {}

const wl_pointer_listener pointer_listener{
    .enter = on_enter,
    .leave = on_leave,
    .motion = on_motion,
    .button = on_button,
    .axis = on_axis,
    .frame = on_frame,
    .axis_source = on_axis_source,
    .axis_stop = on_axis_stop,
    .axis_discrete = on_axis_discrete,
    .axis_value120 = on_axis_value120,
};

void on_keymap(void*, wl_keyboard*, uint32_t, int32_t fd, uint32_t) { close(fd); }

void on_key_enter(void*, wl_keyboard*, uint32_t, wl_surface*, wl_array*) { say("focus"); }

void on_key_leave(void*, wl_keyboard*, uint32_t, wl_surface*) { say("unfocus"); }

void on_key(void*, wl_keyboard*, uint32_t, uint32_t, uint32_t key, uint32_t state) {
  say("key %u %s", key, state == WL_KEYBOARD_KEY_STATE_PRESSED ? "pressed" : "released");
}

void on_modifiers(void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {}
void on_repeat_info(void*, wl_keyboard*, int32_t, int32_t) {}

const wl_keyboard_listener keyboard_listener{
    .keymap = on_keymap,
    .enter = on_key_enter,
    .leave = on_key_leave,
    .key = on_key,
    .modifiers = on_modifiers,
    .repeat_info = on_repeat_info,
};

void on_capabilities(void* data, wl_seat* seat, uint32_t caps) {
  auto* c = static_cast<Client*>(data);
  if ((caps & WL_SEAT_CAPABILITY_POINTER) && c->pointer == nullptr) {
    c->pointer = wl_seat_get_pointer(seat);
    wl_pointer_add_listener(c->pointer, &pointer_listener, c);
  }
  if ((caps & WL_SEAT_CAPABILITY_KEYBOARD) && c->keyboard == nullptr) {
    c->keyboard = wl_seat_get_keyboard(seat);
    wl_keyboard_add_listener(c->keyboard, &keyboard_listener, c);
  }
}

void on_seat_name(void*, wl_seat*, const char*) {}

const wl_seat_listener seat_listener{.capabilities = on_capabilities, .name = on_seat_name};

// ---------------------------------------------------------------- outputs

void on_logical_position(void*, zxdg_output_v1*, int32_t, int32_t) {}
void on_logical_size(void*, zxdg_output_v1*, int32_t, int32_t) {}
void on_xdg_output_done(void*, zxdg_output_v1*) {}
void on_output_name(void* data, zxdg_output_v1*, const char* name) {
  static_cast<NamedOutput*>(data)->name = name;
}
void on_output_description(void*, zxdg_output_v1*, const char*) {}

const zxdg_output_v1_listener xdg_output_listener{
    .logical_position = on_logical_position,
    .logical_size = on_logical_size,
    .done = on_xdg_output_done,
    .name = on_output_name,
    .description = on_output_description,
};

void on_global(void* data, wl_registry* registry, uint32_t name, const char* interface,
               uint32_t version) {
  auto* c = static_cast<Client*>(data);
  auto bind = [&](const wl_interface* type, uint32_t highest) {
    return wl_registry_bind(registry, name, type, version < highest ? version : highest);
  };
  if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
    c->compositor = static_cast<wl_compositor*>(bind(&wl_compositor_interface, 4));
  } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
    c->shm = static_cast<wl_shm*>(bind(&wl_shm_interface, 1));
  } else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
    c->wm_base = static_cast<xdg_wm_base*>(bind(&xdg_wm_base_interface, 4));
  } else if (std::strcmp(interface, wl_seat_interface.name) == 0 && c->seat == nullptr) {
    c->seat = static_cast<wl_seat*>(bind(&wl_seat_interface, 5));
  } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0 && version >= 2) {
    c->output_manager = static_cast<zxdg_output_manager_v1*>(bind(&zxdg_output_manager_v1_interface, 2));
  } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
    NamedOutput o;
    o.output = static_cast<wl_output*>(bind(&wl_output_interface, 1));
    c->outputs.push_back(o);
  }
}

void on_global_remove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener registry_listener{
    .global = on_global,
    .global_remove = on_global_remove,
};

// The wl_output announced with this name, or nullptr (the compositor chooses).
wl_output* output_named(Client& c, wl_display* display, const std::string& name) {
  if (name.empty() || c.output_manager == nullptr) return nullptr;
  for (NamedOutput& o : c.outputs) {
    o.xdg = zxdg_output_manager_v1_get_xdg_output(c.output_manager, o.output);
    zxdg_output_v1_add_listener(o.xdg, &xdg_output_listener, &o);
  }
  wl_display_roundtrip(display);
  for (const NamedOutput& o : c.outputs) {
    if (o.name == name) return o.output;
  }
  return nullptr;
}

// Reads stdin's pending bytes into `line_buffer`; false at "quit" or its end.
bool read_commands(std::string& line_buffer) {
  char chunk[256];
  const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
  if (n <= 0) return n < 0 && errno == EINTR;
  line_buffer.append(chunk, static_cast<size_t>(n));
  for (size_t end; (end = line_buffer.find('\n')) != std::string::npos;) {
    const std::string line = line_buffer.substr(0, end);
    line_buffer.erase(0, end + 1);
    if (line == "quit") return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) {
    std::fprintf(stderr, "usage: ostrel-wl-input-client [OUTPUT_NAME]\n");
    return 2;
  }
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "ostrel-wl-input-client: no Wayland display\n");
    return 1;
  }
  Client c;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registry_listener, &c);
  wl_display_roundtrip(display);
  if (c.compositor == nullptr || c.shm == nullptr || c.wm_base == nullptr || c.seat == nullptr) {
    std::fprintf(stderr, "ostrel-wl-input-client: the compositor lacks wl_compositor, wl_shm, "
                         "xdg_wm_base or wl_seat\n");
    return 1;
  }
  xdg_wm_base_add_listener(c.wm_base, &wm_base_listener, &c);
  wl_seat_add_listener(c.seat, &seat_listener, &c);
  wl_output* on = output_named(c, display, argc == 2 ? argv[1] : "");
  if (argc == 2 && on == nullptr) {
    std::fprintf(stderr, "ostrel-wl-input-client: no output named %s\n", argv[1]);
    return 1;
  }

  c.surface = wl_compositor_create_surface(c.compositor);
  c.xdg = xdg_wm_base_get_xdg_surface(c.wm_base, c.surface);
  xdg_surface_add_listener(c.xdg, &xdg_surface_listener_table, &c);
  c.toplevel = xdg_surface_get_toplevel(c.xdg);
  xdg_toplevel_add_listener(c.toplevel, &toplevel_listener, &c);
  xdg_toplevel_set_title(c.toplevel, "ostrel input client");
  xdg_toplevel_set_app_id(c.toplevel, "ostrel-wl-input-client");
  xdg_toplevel_set_fullscreen(c.toplevel, on);
  wl_surface_commit(c.surface);
  while (!c.shown && !c.closed) {
    if (wl_display_dispatch(display) < 0) return 1;
  }
  if (c.closed) return 1;
  c.mapped = true;
  say("ready %d %d", c.width, c.height);

  std::string line_buffer;
  pollfd fds[2] = {{.fd = wl_display_get_fd(display), .events = POLLIN, .revents = 0},
                   {.fd = STDIN_FILENO, .events = POLLIN, .revents = 0}};
  while (!c.closed) {
    while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
    wl_display_flush(display);
    if (poll(fds, 2, -1) < 0) {
      wl_display_cancel_read(display);
      if (errno == EINTR) continue;
      return 1;
    }
    if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) {
      if (wl_display_read_events(display) < 0) return 1;
    } else {
      wl_display_cancel_read(display);
    }
    if (wl_display_dispatch_pending(display) < 0) return 1;
    if ((fds[1].revents & (POLLIN | POLLHUP)) && !read_commands(line_buffer)) break;
  }
  wl_display_disconnect(display);
  return 0;
}
