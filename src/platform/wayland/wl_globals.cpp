#include "platform/wayland/wl_globals.h"

#include <algorithm>
#include <cstring>

#include "platform/platform_error.h"
#include "platform/wayland/wl_connection.h"
#include "platform/wayland/input/wl_seat_input.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"
#include "wlr-layer-shell-unstable-v1-client-protocol.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"
#include "xdg-shell-client-protocol.h"

namespace ostrel {
namespace {

template <typename T>
T* Bind(wl_registry* registry, std::uint32_t name, const wl_interface* interface,
        std::uint32_t offered, std::uint32_t wanted) {
  return static_cast<T*>(wl_registry_bind(registry, name, interface, std::min(offered, wanted)));
}

// The generated code has no destroy request for interfaces that have none at
// any version: only their proxies are freed.
void FreeProxyOnly(wl_proxy* proxy) { wl_proxy_destroy(proxy); }

}  // namespace

struct WaylandGlobalsListeners {
  static WaylandGlobals& Of(void* data) { return *static_cast<WaylandGlobals*>(data); }

  static constexpr wl_registry_listener kRegistry = {
      .global = [](void* data, wl_registry*, std::uint32_t name, const char* interface,
                   std::uint32_t version) { Of(data).OnGlobal(name, interface, version); },
      .global_remove = [](void* data, wl_registry*,
                          std::uint32_t name) { Of(data).OnGlobalRemove(name); },
  };

  // A client that does not answer is shown as not responding.
  static constexpr xdg_wm_base_listener kWmBase = {
      .ping = [](void*, xdg_wm_base* wm_base,
                 std::uint32_t serial) { xdg_wm_base_pong(wm_base, serial); },
  };
};

WaylandGlobals::WaylandGlobals(wl_display* wl_display, SeatInput& input)
    : display(wl_display), input_(input) {
  registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &WaylandGlobalsListeners::kRegistry, this);
}

void WaylandGlobals::Discover(Waiter& waiter, TimePoint deadline) {
  const auto answered = [&] {
    if (Roundtrip(waiter, display, deadline)) return;
    throw NoDisplayServer("the Wayland compositor accepted the connection but did not answer");
  };
  answered();
  // Outputs bound before the xdg_output manager get their xdg_output now.
  for (auto& [name, output] : outputs) output->WatchXdgOutput(xdg_output_manager);
  answered();
}

WaylandGlobals::~WaylandGlobals() { Free(FreeMode::kWithRequests); }

void WaylandGlobals::Free(FreeMode mode) {
  for (auto& [name, output] : outputs) output->Free(mode);
  outputs.clear();
  FreeProxy(xdg_output_manager, &zxdg_output_manager_v1_destroy, mode);
  FreeProxy(screencopy, &zwlr_screencopy_manager_v1_destroy, mode);
  FreeProxy(layer_shell, &zwlr_layer_shell_v1_destroy, ZWLR_LAYER_SHELL_V1_DESTROY_SINCE_VERSION,
            mode);
  FreeProxy(wm_base, &xdg_wm_base_destroy, mode);
  FreeProxy(data_control, &zwlr_data_control_manager_v1_destroy, mode);
  if (data_device_manager != nullptr) {
    FreeProxyOnly(reinterpret_cast<wl_proxy*>(data_device_manager));
    data_device_manager = nullptr;
  }
  FreeProxy(seat, &wl_seat_release, WL_SEAT_RELEASE_SINCE_VERSION, mode);
  if (shm != nullptr) FreeProxyOnly(reinterpret_cast<wl_proxy*>(shm));
  if (compositor != nullptr) FreeProxyOnly(reinterpret_cast<wl_proxy*>(compositor));
  if (registry != nullptr) FreeProxyOnly(reinterpret_cast<wl_proxy*>(registry));
  shm = nullptr;
  compositor = nullptr;
  registry = nullptr;
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
  add(layer_shell == nullptr && wm_base == nullptr, "zwlr_layer_shell_v1 or xdg_wm_base");
  return missing;
}

void WaylandGlobals::OnGlobal(std::uint32_t name, const char* interface, std::uint32_t version) {
  const auto is = [interface](const wl_interface& known) {
    return std::strcmp(interface, known.name) == 0;
  };
  if (is(wl_compositor_interface) && compositor == nullptr) {
    compositor = Bind<wl_compositor>(registry, name, &wl_compositor_interface, version, 4);
  } else if (is(wl_shm_interface) && shm == nullptr) {
    shm = Bind<wl_shm>(registry, name, &wl_shm_interface, version, 1);
  } else if (is(wl_seat_interface) && seat == nullptr) {
    // The first seat is the user's; version 5 has every event the input uses.
    seat = Bind<wl_seat>(registry, name, &wl_seat_interface, version, 5);
    input_.Listen(seat);
  } else if (is(wl_output_interface)) {
    auto output = std::make_unique<WaylandOutput>(
        name, Bind<wl_output>(registry, name, &wl_output_interface, version, 3));
    output->WatchXdgOutput(xdg_output_manager);
    outputs[name] = std::move(output);
  } else if (is(zwlr_layer_shell_v1_interface) && layer_shell == nullptr) {
    layer_shell =
        Bind<zwlr_layer_shell_v1>(registry, name, &zwlr_layer_shell_v1_interface, version, 4);
  } else if (is(xdg_wm_base_interface) && wm_base == nullptr) {
    wm_base = Bind<xdg_wm_base>(registry, name, &xdg_wm_base_interface, version, 4);
    xdg_wm_base_add_listener(wm_base, &WaylandGlobalsListeners::kWmBase, this);
  } else if (is(zwlr_screencopy_manager_v1_interface) && screencopy == nullptr) {
    screencopy = Bind<zwlr_screencopy_manager_v1>(
        registry, name, &zwlr_screencopy_manager_v1_interface, version, 3);
  } else if (is(zxdg_output_manager_v1_interface) && xdg_output_manager == nullptr) {
    xdg_output_manager =
        Bind<zxdg_output_manager_v1>(registry, name, &zxdg_output_manager_v1_interface, version, 3);
  } else if (is(wl_data_device_manager_interface) && data_device_manager == nullptr) {
    data_device_manager =
        Bind<wl_data_device_manager>(registry, name, &wl_data_device_manager_interface, version, 3);
  } else if (is(zwlr_data_control_manager_v1_interface) && data_control == nullptr) {
    data_control = Bind<zwlr_data_control_manager_v1>(
        registry, name, &zwlr_data_control_manager_v1_interface, version, 2);
  }
}

void WaylandGlobals::OnGlobalRemove(std::uint32_t name) {
  // An output unplugged: its cover and its proxies go with it. (The other
  // globals are not removed while a session runs.)
  if (auto found = outputs.find(name); found != outputs.end()) outputs.erase(found);
}

}  // namespace ostrel
