#pragma once

// One output's part of the window: a layer-shell surface on the overlay
// layer covering that output, shown from two buffers, one in each copy of
// the frame.

#include <cstdint>
#include <span>

#include "platform/software_surface.h"
#include "platform/wayland/frame_copies.h"

struct wl_buffer;
struct wl_compositor;
struct wl_output;
struct wl_surface;
struct zwlr_layer_shell_v1;
struct zwlr_layer_surface_v1;

namespace ostrel {

class OutputSurface {
 public:
  // Creates the surface and makes its first commit, without a buffer; the
  // compositor answers with a configure. `buffer_scale`: the frame's scale.
  OutputSurface(wl_compositor* compositor, zwlr_layer_shell_v1* layer_shell, wl_output* output,
                int buffer_scale);
  ~OutputSurface();
  OutputSurface(const OutputSurface&) = delete;
  OutputSurface& operator=(const OutputSurface&) = delete;

  // Takes the output's buffer in each copy of the frame.
  void SetBuffers(wl_buffer* copy0, wl_buffer* copy1);

  bool Configured() const { return configure_serial_.has_value; }
  // The compositor no longer shows the surface (its output went away).
  bool Closed() const { return closed_; }
  wl_surface* Surface() const { return surface_; }

  // Shows the buffer of `copy` with the given damage (buffer pixels).
  void Show(int copy, std::span<const Rect> damage);

  // Whether the compositor gave back the buffer of `copy` since the last look.
  bool TakeRelease(int copy);

  // Destroys the surface: with destroy requests, or only the proxies when
  // `send` is false (the connection was handed on).
  void Destroy(bool send);

 private:
  struct Serial {
    bool has_value = false;
    std::uint32_t value = 0;
  };
  struct BufferSlot {
    OutputSurface* owner = nullptr;
    wl_buffer* buffer = nullptr;
    bool released = false;
  };

  static void OnConfigure(void* data, zwlr_layer_surface_v1* layer_surface, std::uint32_t serial,
                          std::uint32_t width, std::uint32_t height);
  static void OnClosed(void* data, zwlr_layer_surface_v1* layer_surface);
  static void OnRelease(void* data, wl_buffer* buffer);

  wl_surface* surface_ = nullptr;
  zwlr_layer_surface_v1* layer_surface_ = nullptr;
  Serial configure_serial_;
  bool acked_ = false;
  bool closed_ = false;
  BufferSlot slots_[FrameCopies::kCopies];
};

}  // namespace ostrel
