#pragma once

// The compositor's globals the backend uses, bound from the registry: the
// interfaces, the seat (handed to the input as it is bound) and the outputs,
// one object each, made when an output's global arrives and freed when it
// goes.

#include <wayland-client.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/posix/waiter.h"
#include "platform/wayland/wl_free.h"
#include "platform/wayland/wl_output.h"

struct xdg_wm_base;
struct zwlr_layer_shell_v1;
struct zwlr_screencopy_manager_v1;
struct zxdg_output_manager_v1;
struct zwlr_data_control_manager_v1;

namespace ostrel {

class SeatInput;

class WaylandGlobals {
 public:
  // Listens to the registry of `display`; the seat will go to `input` as
  // soon as it is bound, before its first event.
  WaylandGlobals(wl_display* display, SeatInput& input);

  // Binds the globals and waits (two round trips in `waiter`, where the
  // connection is registered) for the outputs' descriptions. Throws
  // NoDisplayServer when the compositor has not answered by `deadline`, and
  // PlatformError when the connection fails.
  void Discover(Waiter& waiter, TimePoint deadline);
  ~WaylandGlobals();
  WaylandGlobals(const WaylandGlobals&) = delete;
  WaylandGlobals& operator=(const WaylandGlobals&) = delete;

  // What the backend cannot run without, named; empty when all is there.
  std::string Missing() const;

  void Free(FreeMode mode);

  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  wl_seat* seat = nullptr;
  zwlr_layer_shell_v1* layer_shell = nullptr;
  // Answered by its pings as long as it is bound.
  xdg_wm_base* wm_base = nullptr;
  zwlr_screencopy_manager_v1* screencopy = nullptr;
  zxdg_output_manager_v1* xdg_output_manager = nullptr;
  wl_data_device_manager* data_device_manager = nullptr;
  zwlr_data_control_manager_v1* data_control = nullptr;
  // The outputs by their registry names.
  std::map<std::uint32_t, std::unique_ptr<WaylandOutput>> outputs;

 private:
  friend struct WaylandGlobalsListeners;
  void OnGlobal(std::uint32_t name, const char* interface, std::uint32_t version);
  void OnGlobalRemove(std::uint32_t name);

  SeatInput& input_;
};

}  // namespace ostrel
