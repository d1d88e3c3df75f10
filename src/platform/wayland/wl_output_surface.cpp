#include "platform/wayland/wl_output_surface.h"

#include <wayland-client.h>

#include "platform/wayland/wl_release.h"
#include "wlr-layer-shell-unstable-v1-client-protocol.h"

namespace ostrel {
namespace {

constexpr char kNamespace[] = "ostrel";

}  // namespace

OutputSurface::OutputSurface(wl_compositor* compositor, zwlr_layer_shell_v1* layer_shell,
                             wl_output* output, int buffer_scale) {
  surface_ = wl_compositor_create_surface(compositor);
  // Frame pixels are shown one to one on an output of the frame's scale; on
  // one of a lower scale the compositor shrinks them by a whole factor.
  if (wl_surface_get_version(surface_) >= WL_SURFACE_SET_BUFFER_SCALE_SINCE_VERSION) {
    wl_surface_set_buffer_scale(surface_, buffer_scale);
  }
  layer_surface_ = zwlr_layer_shell_v1_get_layer_surface(
      layer_shell, surface_, output, ZWLR_LAYER_SHELL_V1_LAYER_OVERLAY, kNamespace);
  static constexpr zwlr_layer_surface_v1_listener kListener = {&OutputSurface::OnConfigure,
                                                               &OutputSurface::OnClosed};
  zwlr_layer_surface_v1_add_listener(layer_surface_, &kListener, this);
  // The whole output, over panels and everything else, taking the keyboard.
  zwlr_layer_surface_v1_set_anchor(
      layer_surface_,
      ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_BOTTOM |
          ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT | ZWLR_LAYER_SURFACE_V1_ANCHOR_RIGHT);
  zwlr_layer_surface_v1_set_size(layer_surface_, 0, 0);
  zwlr_layer_surface_v1_set_exclusive_zone(layer_surface_, -1);
  zwlr_layer_surface_v1_set_keyboard_interactivity(
      layer_surface_, ZWLR_LAYER_SURFACE_V1_KEYBOARD_INTERACTIVITY_EXCLUSIVE);
  // The input region is left unset: the whole surface takes the pointer.
  wl_surface_commit(surface_);
}

OutputSurface::~OutputSurface() { Destroy(true); }

void OutputSurface::SetBuffers(wl_buffer* copy0, wl_buffer* copy1) {
  static constexpr wl_buffer_listener kBufferListener = {&OutputSurface::OnRelease};
  wl_buffer* buffers[FrameCopies::kCopies] = {copy0, copy1};
  for (int i = 0; i < FrameCopies::kCopies; ++i) {
    BufferSlot& slot = slots_[i];
    slot.owner = this;
    slot.buffer = buffers[i];
    wl_buffer_add_listener(slot.buffer, &kBufferListener, &slot);
  }
}

void OutputSurface::Show(int copy, std::span<const Rect> damage) {
  if (closed_ || surface_ == nullptr || !configure_serial_.has_value) return;
  if (!acked_) {
    zwlr_layer_surface_v1_ack_configure(layer_surface_, configure_serial_.value);
    acked_ = true;
  }
  wl_surface_attach(surface_, slots_[copy].buffer, 0, 0);
  // Damage in buffer pixels needs wl_surface 4; before it, the whole surface.
  if (wl_surface_get_version(surface_) >= WL_SURFACE_DAMAGE_BUFFER_SINCE_VERSION) {
    for (const Rect& rect : damage) {
      wl_surface_damage_buffer(surface_, rect.x, rect.y, rect.width, rect.height);
    }
  } else {
    wl_surface_damage(surface_, 0, 0, INT32_MAX, INT32_MAX);
  }
  wl_surface_commit(surface_);
}

bool OutputSurface::TakeRelease(int copy) {
  const bool released = slots_[copy].released;
  slots_[copy].released = false;
  return released;
}

void OutputSurface::Destroy(bool send) {
  Release(layer_surface_, &zwlr_layer_surface_v1_destroy, send);
  Release(surface_, &wl_surface_destroy, send);
  for (BufferSlot& slot : slots_) Release(slot.buffer, &wl_buffer_destroy, send);
}

void OutputSurface::OnConfigure(void* data, zwlr_layer_surface_v1* layer_surface,
                                std::uint32_t serial, std::uint32_t, std::uint32_t) {
  auto* self = static_cast<OutputSurface*>(data);
  // The size is the output's, which the buffers already have. A later
  // configure is acknowledged at once: the surface keeps its buffers.
  self->configure_serial_ = {true, serial};
  if (self->acked_) zwlr_layer_surface_v1_ack_configure(layer_surface, serial);
}

void OutputSurface::OnClosed(void* data, zwlr_layer_surface_v1*) {
  static_cast<OutputSurface*>(data)->closed_ = true;
}

void OutputSurface::OnRelease(void* data, wl_buffer*) {
  static_cast<BufferSlot*>(data)->released = true;
}

}  // namespace ostrel
