#pragma once

// The compositor's globals the backend uses, bound from the registry, and
// what the outputs report about their place in the layout.

#include <wayland-client.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/wayland/frame_layout.h"

struct zwlr_layer_shell_v1;
struct zwlr_screencopy_manager_v1;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;
struct zwlr_data_control_manager_v1;

namespace ostrel {

// One wl_output and its xdg_output. Kept at a fixed address: the listeners
// hold a pointer to it.
struct WaylandOutput {
  std::uint32_t name = 0;  // the registry's
  wl_output* output = nullptr;
  zxdg_output_v1* xdg_output = nullptr;
  OutputReport report;
  // Its global was removed: it is not covered and never looked at again.
  bool removed = false;
};

class WaylandGlobals {
 public:
  // Binds the globals on `display` and waits (two round trips) for the
  // outputs' descriptions; `on_seat` is called with the seat as soon as it is
  // bound, before its first event. Throws PlatformError when the connection
  // fails.
  WaylandGlobals(wl_display* display, std::function<void(wl_seat*)> on_seat);
  // Destroys the proxies: with their destroy requests, or without any when
  // Forget() was called (the connection was handed on).
  ~WaylandGlobals();
  WaylandGlobals(const WaylandGlobals&) = delete;
  WaylandGlobals& operator=(const WaylandGlobals&) = delete;

  void Forget() { send_ = false; }

  // What the backend cannot run without, named; empty when all is there.
  std::string Missing() const;

  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  wl_seat* seat = nullptr;
  zwlr_layer_shell_v1* layer_shell = nullptr;
  zwlr_screencopy_manager_v1* screencopy = nullptr;
  zxdg_output_manager_v1* xdg_output_manager = nullptr;
  wl_data_device_manager* data_device_manager = nullptr;
  zwlr_data_control_manager_v1* data_control = nullptr;
  std::uint32_t seat_name = 0;
  std::vector<std::unique_ptr<WaylandOutput>> outputs;
  // Outputs that appear after the start are not covered.
  bool accept_outputs = true;

 private:
  static void Global(void* data, wl_registry* registry, std::uint32_t name,
                     const char* interface, std::uint32_t version);
  static void GlobalRemove(void* data, wl_registry* registry, std::uint32_t name);
  void AddOutput(std::uint32_t name, std::uint32_t version);
  void WatchXdgOutput(WaylandOutput& output);

  std::function<void(wl_seat*)> on_seat_;
  bool send_ = true;
};

}  // namespace ostrel
