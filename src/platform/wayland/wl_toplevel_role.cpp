#include <string>

#include "platform/wayland/wl_cover_role.h"
#include "xdg-shell-client-protocol.h"

namespace ostrel {
namespace {

constexpr char kAppId[] = "ostrel";

struct ToplevelRoleListeners;

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

  bool Configured() const override { return configured_; }
  LogicalSize ConfiguredSize() const override { return size_; }
  bool Closed() const override { return closed_; }

  void AckConfigure() override {
    if (!configured_ || (acked_ && acked_serial_ == serial_) || xdg_surface_ == nullptr) return;
    xdg_surface_ack_configure(xdg_surface_, serial_);
    acked_ = true;
    acked_serial_ = serial_;
    acked_size_ = size_;
  }

  void Free(FreeMode mode) override {
    FreeProxy(toplevel_, &xdg_toplevel_destroy, mode);
    FreeProxy(xdg_surface_, &xdg_surface_destroy, mode);
  }

 private:
  friend struct ToplevelRoleListeners;

  // xdg_toplevel.configure comes first with the size, xdg_surface.configure
  // ends the sequence with the serial to acknowledge.
  void OnSurfaceConfigure(std::uint32_t serial) {
    configured_ = true;
    serial_ = serial;
    size_ = pending_size_;
    if (acked_ && size_ == acked_size_) AckConfigure();
  }

  xdg_surface* xdg_surface_ = nullptr;
  xdg_toplevel* toplevel_ = nullptr;
  bool configured_ = false;
  bool closed_ = false;
  bool acked_ = false;
  std::uint32_t serial_ = 0;
  std::uint32_t acked_serial_ = 0;
  LogicalSize pending_size_;
  LogicalSize size_;
  LogicalSize acked_size_;
};

ToplevelRole& Of(void* data) { return *static_cast<ToplevelRole*>(data); }

struct ToplevelRoleListeners {
  static constexpr xdg_surface_listener kSurface = {
      .configure = [](void* data, xdg_surface*,
                      std::uint32_t serial) { Of(data).OnSurfaceConfigure(serial); },
  };
  static constexpr xdg_toplevel_listener kToplevel = {
      .configure =
          [](void* data, xdg_toplevel*, std::int32_t width, std::int32_t height, wl_array*) {
            Of(data).pending_size_ = {width, height};
          },
      .close = [](void* data, xdg_toplevel*) { Of(data).closed_ = true; },
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
