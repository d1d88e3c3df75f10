#include "platform/wayland/wl_globals.h"

#include <algorithm>
#include <cstring>

#include "platform/platform_error.h"
#include "platform/wayland/wl_connection.h"
#include "platform/wayland/wl_release.h"
#include "wlr-layer-shell-unstable-v1-client-protocol.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

namespace ostrel {
namespace {

template <typename T>
T* Bind(wl_registry* registry, std::uint32_t name, const wl_interface* interface,
        std::uint32_t offered, std::uint32_t wanted) {
  return static_cast<T*>(wl_registry_bind(registry, name, interface, std::min(offered, wanted)));
}

void OutputGeometry(void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t,
                    std::int32_t, std::int32_t, const char*, const char*, std::int32_t transform) {
  auto* output = static_cast<WaylandOutput*>(data);
  output->report.geometry_x = x;
  output->report.geometry_y = y;
  output->report.transform = transform;
}

void OutputMode(void* data, wl_output*, std::uint32_t flags, std::int32_t width,
                std::int32_t height, std::int32_t) {
  auto* output = static_cast<WaylandOutput*>(data);
  if ((flags & WL_OUTPUT_MODE_CURRENT) == 0) return;
  output->report.mode_width = width;
  output->report.mode_height = height;
}

void OutputDone(void*, wl_output*) {}

void OutputScale(void* data, wl_output*, std::int32_t factor) {
  static_cast<WaylandOutput*>(data)->report.scale = std::max(factor, 1);
}

constexpr wl_output_listener kOutputListener = {OutputGeometry, OutputMode, OutputDone,
                                                OutputScale, nullptr, nullptr};

void XdgPosition(void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
  auto* output = static_cast<WaylandOutput*>(data);
  output->report.logical_x = x;
  output->report.logical_y = y;
  output->report.has_logical_position = true;
}

void XdgSize(void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
  auto* output = static_cast<WaylandOutput*>(data);
  output->report.logical_width = width;
  output->report.logical_height = height;
  output->report.has_logical_size = true;
}

void XdgDone(void*, zxdg_output_v1*) {}
void XdgName(void*, zxdg_output_v1*, const char*) {}
void XdgDescription(void*, zxdg_output_v1*, const char*) {}

constexpr zxdg_output_v1_listener kXdgOutputListener = {XdgPosition, XdgSize, XdgDone, XdgName,
                                                        XdgDescription};

}  // namespace

WaylandGlobals::WaylandGlobals(wl_display* wl_display, std::function<void(wl_seat*)> on_seat)
    : display(wl_display), on_seat_(std::move(on_seat)) {
  registry = wl_display_get_registry(display);
  static constexpr wl_registry_listener kListener = {&WaylandGlobals::Global,
                                                     &WaylandGlobals::GlobalRemove};
  wl_registry_add_listener(registry, &kListener, this);
  if (wl_display_roundtrip(display) < 0) throw PlatformError(ConnectionFailure(display));
  // Outputs bound before the xdg_output manager get their xdg_output now.
  for (auto& output : outputs) WatchXdgOutput(*output);
  if (wl_display_roundtrip(display) < 0) throw PlatformError(ConnectionFailure(display));
}

WaylandGlobals::~WaylandGlobals() {
  for (auto& output : outputs) {
    Release(output->xdg_output, &zxdg_output_v1_destroy, send_);
    if (output->output != nullptr && wl_output_get_version(output->output) >= 3) {
      Release(output->output, &wl_output_release, send_);
    } else if (output->output != nullptr) {
      wl_output_destroy(output->output);  // no request before version 3
      output->output = nullptr;
    }
  }
  Release(xdg_output_manager, &zxdg_output_manager_v1_destroy, send_);
  Release(screencopy, &zwlr_screencopy_manager_v1_destroy, send_);
  if (layer_shell != nullptr && zwlr_layer_shell_v1_get_version(layer_shell) >= 3) {
    Release(layer_shell, &zwlr_layer_shell_v1_destroy, send_);
  } else if (layer_shell != nullptr) {
    wl_proxy_destroy(reinterpret_cast<wl_proxy*>(layer_shell));
  }
  Release(data_control, &zwlr_data_control_manager_v1_destroy, send_);
  // wl_data_device_manager has no destroy request at any version.
  if (data_device_manager != nullptr) {
    wl_proxy_destroy(reinterpret_cast<wl_proxy*>(data_device_manager));
  }
  if (seat != nullptr && wl_seat_get_version(seat) >= 5) {
    Release(seat, &wl_seat_release, send_);
  } else if (seat != nullptr) {
    wl_seat_destroy(seat);
  }
  if (shm != nullptr) wl_shm_destroy(shm);
  if (compositor != nullptr) wl_compositor_destroy(compositor);
  if (registry != nullptr) wl_registry_destroy(registry);
}

std::string WaylandGlobals::Missing() const {
  std::string missing;
  const auto add = [&missing](bool absent, const char* name) {
    if (!absent) return;
    if (!missing.empty()) missing += ", ";
    missing += name;
  };
  add(compositor == nullptr, "wl_compositor");
  add(shm == nullptr, "wl_shm");
  add(layer_shell == nullptr, "zwlr_layer_shell_v1");
  return missing;
}

void WaylandGlobals::Global(void* data, wl_registry* registry, std::uint32_t name,
                            const char* interface, std::uint32_t version) {
  auto* self = static_cast<WaylandGlobals*>(data);
  const auto is = [interface](const wl_interface& known) {
    return std::strcmp(interface, known.name) == 0;
  };
  if (is(wl_compositor_interface) && self->compositor == nullptr) {
    self->compositor = Bind<wl_compositor>(registry, name, &wl_compositor_interface, version, 4);
  } else if (is(wl_shm_interface) && self->shm == nullptr) {
    self->shm = Bind<wl_shm>(registry, name, &wl_shm_interface, version, 1);
  } else if (is(wl_seat_interface) && self->seat == nullptr) {
    // The first seat is the user's; version 5 has every event the input uses.
    self->seat = Bind<wl_seat>(registry, name, &wl_seat_interface, version, 5);
    self->seat_name = name;
    if (self->on_seat_) self->on_seat_(self->seat);
  } else if (is(wl_output_interface)) {
    if (self->accept_outputs) self->AddOutput(name, version);
  } else if (is(zwlr_layer_shell_v1_interface) && self->layer_shell == nullptr) {
    self->layer_shell =
        Bind<zwlr_layer_shell_v1>(registry, name, &zwlr_layer_shell_v1_interface, version, 4);
  } else if (is(zwlr_screencopy_manager_v1_interface) && self->screencopy == nullptr) {
    self->screencopy = Bind<zwlr_screencopy_manager_v1>(
        registry, name, &zwlr_screencopy_manager_v1_interface, version, 3);
  } else if (is(zxdg_output_manager_v1_interface) && self->xdg_output_manager == nullptr) {
    self->xdg_output_manager = Bind<zxdg_output_manager_v1>(
        registry, name, &zxdg_output_manager_v1_interface, version, 3);
  } else if (is(wl_data_device_manager_interface) && self->data_device_manager == nullptr) {
    self->data_device_manager = Bind<wl_data_device_manager>(
        registry, name, &wl_data_device_manager_interface, version, 3);
  } else if (is(zwlr_data_control_manager_v1_interface) && self->data_control == nullptr) {
    self->data_control = Bind<zwlr_data_control_manager_v1>(
        registry, name, &zwlr_data_control_manager_v1_interface, version, 2);
  }
}

void WaylandGlobals::GlobalRemove(void* data, wl_registry*, std::uint32_t name) {
  auto* self = static_cast<WaylandGlobals*>(data);
  for (auto& output : self->outputs) {
    if (output->name == name) output->removed = true;
  }
}

void WaylandGlobals::AddOutput(std::uint32_t name, std::uint32_t version) {
  auto output = std::make_unique<WaylandOutput>();
  output->name = name;
  output->output = Bind<wl_output>(registry, name, &wl_output_interface, version, 3);
  wl_output_add_listener(output->output, &kOutputListener, output.get());
  WatchXdgOutput(*output);
  outputs.push_back(std::move(output));
}

void WaylandGlobals::WatchXdgOutput(WaylandOutput& output) {
  if (xdg_output_manager == nullptr || output.xdg_output != nullptr) return;
  output.xdg_output = zxdg_output_manager_v1_get_xdg_output(xdg_output_manager, output.output);
  zxdg_output_v1_add_listener(output.xdg_output, &kXdgOutputListener, &output);
}

}  // namespace ostrel
