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
  virtual bool Configured() const = 0;
  // The size of the latest configure (logical); zero where the compositor
  // leaves it to the client.
  virtual LogicalSize ConfiguredSize() const = 0;
  // The compositor no longer shows the surface (its output went away).
  virtual bool Closed() const = 0;
  // Called before each commit of a buffer: acknowledges the latest configure
  // if it is not yet. A later configure that keeps the size acknowledged
  // last is acknowledged as it comes: the surface keeps its buffers.
  virtual void AckConfigure() = 0;
  virtual void Free(FreeMode mode) = 0;
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
