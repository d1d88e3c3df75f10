#pragma once

// How a surface is made to cover its output: the layer shell's overlay layer
// where the compositor offers it (wlroots compositors, KWin), else a
// fullscreen toplevel (GNOME's mutter). The role reports the compositor's
// configures and whether it closed the surface; everything else about the
// cover (buffers, damage, scale, the cursor) is the same whatever the role.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/wayland/wl_free.h"

struct wl_output;
struct wl_surface;
struct xdg_wm_base;
struct zwlr_layer_shell_v1;

namespace ostrel {

// A surface size in logical units.
struct LogicalSize {
  int width = 0;
  int height = 0;

  friend bool operator==(const LogicalSize&, const LogicalSize&) = default;
};

class CoverRole {
 public:
  virtual ~CoverRole() = default;

  // A configure has come.
  bool Configured() const { return configured_; }
  // The size of the latest configure (logical); zero where the compositor
  // leaves it to the client.
  LogicalSize ConfiguredSize() const { return size_; }
  // The compositor no longer shows the surface (its output went away).
  bool Closed() const { return closed_; }
  // Called before each commit of a buffer: acknowledges the latest configure
  // if it is not yet.
  void AckConfigure();
  virtual void Free(FreeMode mode) = 0;

 protected:
  // The role's configure is complete. One that keeps the size acknowledged
  // last is acknowledged as it comes: the surface keeps its buffers.
  void OnConfigure(std::uint32_t serial, LogicalSize size);
  void OnClosed() { closed_ = true; }
  // Sends the role's ack_configure for `serial`; nothing once freed.
  virtual void Acknowledge(std::uint32_t serial) = 0;

 private:
  bool configured_ = false;
  bool closed_ = false;
  bool acked_ = false;
  std::uint32_t serial_ = 0;
  std::uint32_t acked_serial_ = 0;
  LogicalSize size_;
  LogicalSize acked_size_;
};

// Gives `surface` the role of a layer-shell surface on the overlay layer of
// `output`, anchored to all its edges, over panels and everything else, with
// the keyboard exclusively.
std::unique_ptr<CoverRole> MakeLayerShellRole(zwlr_layer_shell_v1* layer_shell, wl_surface* surface,
                                              wl_output* output);

// Gives `surface` the role of a toplevel titled `title`, fullscreen on
// `output`.
std::unique_ptr<CoverRole> MakeToplevelRole(xdg_wm_base* wm_base, wl_surface* surface,
                                            wl_output* output, const std::string& title);

}  // namespace ostrel
