#include "platform/wayland/cover/wl_cover_role.h"

#include "wlr-layer-shell-unstable-v1-client-protocol.h"

namespace ostrel {
namespace {

constexpr char kNamespace[] = "ostrel";

class LayerShellRole final : public CoverRole {
 public:
  LayerShellRole(zwlr_layer_shell_v1* layer_shell, wl_surface* surface, wl_output* output);
  ~LayerShellRole() override { Free(FreeMode::kWithRequests); }
  LayerShellRole(const LayerShellRole&) = delete;
  LayerShellRole& operator=(const LayerShellRole&) = delete;

  void Free(FreeMode mode) override {
    FreeProxy(layer_surface_, &zwlr_layer_surface_v1_destroy, mode);
  }

 private:
  friend struct LayerShellRoleListeners;
  void Acknowledge(std::uint32_t serial) override {
    if (layer_surface_ != nullptr) zwlr_layer_surface_v1_ack_configure(layer_surface_, serial);
  }

  zwlr_layer_surface_v1* layer_surface_ = nullptr;
};

struct LayerShellRoleListeners {
  static LayerShellRole& Of(void* data) { return *static_cast<LayerShellRole*>(data); }

  static constexpr zwlr_layer_surface_v1_listener kLayerSurface = {
      .configure =
          [](void* data, zwlr_layer_surface_v1*, std::uint32_t serial, std::uint32_t width,
             std::uint32_t height) {
            Of(data).OnConfigure(serial, {static_cast<int>(width), static_cast<int>(height)});
          },
      .closed = [](void* data, zwlr_layer_surface_v1*) { Of(data).OnClosed(); },
  };
};

LayerShellRole::LayerShellRole(zwlr_layer_shell_v1* layer_shell, wl_surface* surface,
                               wl_output* output) {
  layer_surface_ = zwlr_layer_shell_v1_get_layer_surface(
      layer_shell, surface, output, ZWLR_LAYER_SHELL_V1_LAYER_OVERLAY, kNamespace);
  zwlr_layer_surface_v1_add_listener(layer_surface_, &LayerShellRoleListeners::kLayerSurface, this);
  zwlr_layer_surface_v1_set_anchor(
      layer_surface_, ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_BOTTOM |
                          ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT | ZWLR_LAYER_SURFACE_V1_ANCHOR_RIGHT);
  zwlr_layer_surface_v1_set_size(layer_surface_, 0, 0);
  zwlr_layer_surface_v1_set_exclusive_zone(layer_surface_, -1);
  zwlr_layer_surface_v1_set_keyboard_interactivity(
      layer_surface_, ZWLR_LAYER_SURFACE_V1_KEYBOARD_INTERACTIVITY_EXCLUSIVE);
  // The input region is left unset: the whole surface takes the pointer.
}

}  // namespace

std::unique_ptr<CoverRole> MakeLayerShellRole(zwlr_layer_shell_v1* layer_shell, wl_surface* surface,
                                              wl_output* output) {
  return std::make_unique<LayerShellRole>(layer_shell, surface, output);
}

}  // namespace ostrel
