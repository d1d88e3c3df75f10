#include <string>

#include "platform/wayland/cover/wl_cover_role.h"
#include "xdg-shell-client-protocol.h"

namespace ostrel {
namespace {

constexpr char kAppId[] = "ostrel";

// A fullscreen toplevel on the output, for compositors without the layer
// shell (GNOME's mutter). The compositor sizes it to the output and hides its
// panels under it; it is shown from its first buffer, after the first
// configure. A request to close it (a shortcut of the compositor's) is taken
// as the compositor closing it.
class ToplevelRole final : public CoverRole {
 public:
  ToplevelRole(xdg_wm_base* wm_base, wl_surface* surface, wl_output* output,
               const std::string& title);
  ~ToplevelRole() override { Free(FreeMode::kWithRequests); }
  ToplevelRole(const ToplevelRole&) = delete;
  ToplevelRole& operator=(const ToplevelRole&) = delete;

  void Free(FreeMode mode) override {
    FreeProxy(toplevel_, &xdg_toplevel_destroy, mode);
    FreeProxy(xdg_surface_, &xdg_surface_destroy, mode);
  }

 private:
  friend struct ToplevelRoleListeners;
  void Acknowledge(std::uint32_t serial) override {
    if (xdg_surface_ != nullptr) xdg_surface_ack_configure(xdg_surface_, serial);
  }

  xdg_surface* xdg_surface_ = nullptr;
  xdg_toplevel* toplevel_ = nullptr;
  // xdg_toplevel.configure comes first with the size; xdg_surface.configure
  // ends the sequence with the serial to acknowledge.
  LogicalSize pending_size_;
};

struct ToplevelRoleListeners {
  static ToplevelRole& Of(void* data) { return *static_cast<ToplevelRole*>(data); }

  static constexpr xdg_surface_listener kSurface = {
      .configure =
          [](void* data, xdg_surface*, std::uint32_t serial) {
            Of(data).OnConfigure(serial, Of(data).pending_size_);
          },
  };
  static constexpr xdg_toplevel_listener kToplevel = {
      .configure =
          [](void* data, xdg_toplevel*, std::int32_t width, std::int32_t height, wl_array*) {
            Of(data).pending_size_ = {width, height};
          },
      .close = [](void* data, xdg_toplevel*) { Of(data).OnClosed(); },
      .configure_bounds = [](void*, xdg_toplevel*, std::int32_t, std::int32_t) {},
      .wm_capabilities = [](void*, xdg_toplevel*, wl_array*) {},
  };
};

ToplevelRole::ToplevelRole(xdg_wm_base* wm_base, wl_surface* surface, wl_output* output,
                           const std::string& title) {
  xdg_surface_ = xdg_wm_base_get_xdg_surface(wm_base, surface);
  xdg_surface_add_listener(xdg_surface_, &ToplevelRoleListeners::kSurface, this);
  toplevel_ = xdg_surface_get_toplevel(xdg_surface_);
  xdg_toplevel_add_listener(toplevel_, &ToplevelRoleListeners::kToplevel, this);
  xdg_toplevel_set_title(toplevel_, title.c_str());
  xdg_toplevel_set_app_id(toplevel_, kAppId);
  xdg_toplevel_set_fullscreen(toplevel_, output);
}

}  // namespace

std::unique_ptr<CoverRole> MakeToplevelRole(xdg_wm_base* wm_base, wl_surface* surface,
                                            wl_output* output, const std::string& title) {
  return std::make_unique<ToplevelRole>(wm_base, surface, output, title);
}

}  // namespace ostrel
