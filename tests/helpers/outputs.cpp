// ostrel-wl-outputs: prints the compositor's outputs, one a line, in the
// order it announces them:
//
//   NAME X Y WIDTH HEIGHT PIXEL_WIDTH PIXEL_HEIGHT SCALE
//
// NAME and the box (X, Y, WIDTH, HEIGHT, logical layout coordinates) come from
// xdg-output, the pixel size from wl_output's current mode, SCALE from
// wl_output. The test harnesses use it to learn what outputs a compositor
// made of its command line (mutter's and KWin's names differ from sway's).
// Exits 1 without a display or without xdg-output.
#include <wayland-client.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "xdg-output-unstable-v1-client-protocol.h"

namespace {

struct Output {
  wl_output* output = nullptr;
  zxdg_output_v1* xdg = nullptr;
  std::string name;
  int32_t x = 0, y = 0, width = 0, height = 0;
  int32_t pixel_width = 0, pixel_height = 0, scale = 1;
};

struct Globals {
  std::vector<std::unique_ptr<Output>> outputs;
  zxdg_output_manager_v1* manager = nullptr;
};

void on_geometry(void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*,
                 const char*, int32_t) {}

void on_mode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
  auto* o = static_cast<Output*>(data);
  if (flags & WL_OUTPUT_MODE_CURRENT) {
    o->pixel_width = width;
    o->pixel_height = height;
  }
}

void on_done(void*, wl_output*) {}

void on_scale(void* data, wl_output*, int32_t factor) { static_cast<Output*>(data)->scale = factor; }

void on_output_name(void*, wl_output*, const char*) {}

void on_output_description(void*, wl_output*, const char*) {}

const wl_output_listener output_listener{
    .geometry = on_geometry,
    .mode = on_mode,
    .done = on_done,
    .scale = on_scale,
    .name = on_output_name,
    .description = on_output_description,
};

void on_logical_position(void* data, zxdg_output_v1*, int32_t x, int32_t y) {
  auto* o = static_cast<Output*>(data);
  o->x = x;
  o->y = y;
}

void on_logical_size(void* data, zxdg_output_v1*, int32_t width, int32_t height) {
  auto* o = static_cast<Output*>(data);
  o->width = width;
  o->height = height;
}

void on_xdg_done(void*, zxdg_output_v1*) {}

void on_name(void* data, zxdg_output_v1*, const char* name) {
  static_cast<Output*>(data)->name = name;
}

void on_description(void*, zxdg_output_v1*, const char*) {}

const zxdg_output_v1_listener xdg_output_listener{
    .logical_position = on_logical_position,
    .logical_size = on_logical_size,
    .done = on_xdg_done,
    .name = on_name,
    .description = on_description,
};

void on_global(void* data, wl_registry* registry, uint32_t name, const char* interface,
               uint32_t version) {
  auto* g = static_cast<Globals*>(data);
  if (std::strcmp(interface, wl_output_interface.name) == 0 && version >= 2) {
    auto o = std::make_unique<Output>();
    o->output = static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, 2));
    wl_output_add_listener(o->output, &output_listener, o.get());
    g->outputs.push_back(std::move(o));
  } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0 &&
             version >= 2) {
    g->manager = static_cast<zxdg_output_manager_v1*>(
        wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, 2));
  }
}

void on_global_remove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener registry_listener{
    .global = on_global,
    .global_remove = on_global_remove,
};

}  // namespace

int main() {
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "ostrel-wl-outputs: no Wayland display\n");
    return 1;
  }
  Globals g;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registry_listener, &g);
  wl_display_roundtrip(display);
  if (g.manager == nullptr) {
    std::fprintf(stderr, "ostrel-wl-outputs: the compositor offers no zxdg_output_manager_v1 v2\n");
    return 1;
  }
  for (const auto& o : g.outputs) {
    o->xdg = zxdg_output_manager_v1_get_xdg_output(g.manager, o->output);
    zxdg_output_v1_add_listener(o->xdg, &xdg_output_listener, o.get());
  }
  if (wl_display_roundtrip(display) < 0) return 1;
  for (const auto& o : g.outputs) {
    std::printf("%s %d %d %d %d %d %d %d\n", o->name.empty() ? "-" : o->name.c_str(), o->x, o->y,
                o->width, o->height, o->pixel_width, o->pixel_height, o->scale);
  }
  for (const auto& o : g.outputs) {
    zxdg_output_v1_destroy(o->xdg);
    wl_output_destroy(o->output);
  }
  zxdg_output_manager_v1_destroy(g.manager);
  wl_registry_destroy(registry);
  wl_display_disconnect(display);
  return 0;
}
