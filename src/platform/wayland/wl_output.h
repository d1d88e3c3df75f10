#pragma once

// One output of the compositor, from the moment its global arrives until it
// is removed: its wl_output and xdg_output and what they report, its place
// in the frame (for the outputs the frame was laid out over at the start)
// and its cover.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/wayland/frame_layout.h"
#include "platform/wayland/cover/wl_cover_surface.h"
#include "platform/wayland/wl_free.h"

struct wl_output;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;

namespace ostrel {

class WaylandOutput {
 public:
  // Takes `output`, just bound under the registry's `name`, and listens to it.
  WaylandOutput(std::uint32_t name, wl_output* output);
  ~WaylandOutput();
  WaylandOutput(const WaylandOutput&) = delete;
  WaylandOutput& operator=(const WaylandOutput&) = delete;

  // Asks for its xdg_output (its logical rectangle and its name), once.
  void WatchXdgOutput(zxdg_output_manager_v1* manager);

  std::uint32_t RegistryName() const { return registry_name_; }
  wl_output* Proxy() const { return output_; }
  const OutputReport& Report() const { return report_; }
  // Its connector's name (xdg_output), such as "HEADLESS-1"; empty until sent.
  const std::string& ConnectorName() const { return connector_; }

  // Where it lies in the frame laid out at the start: its index among the
  // frame's outputs and its place then. The trails keep that layout for the
  // whole run, whatever the output does later.
  void SetFramePlace(int index, const OutputPlace& place);
  // -1 for an output the frame was not laid out over.
  int FrameIndex() const { return frame_index_; }
  const OutputPlace& FramePlace() const { return input_place_; }

  // Its cover, made when the window is shown (or when it arrives during the
  // run); null before. An output without a place in the frame is reckoned
  // from its own place in the layout when its cover is made.
  CoverSurface* Cover() const { return cover_.get(); }
  void SetCover(wl_compositor* compositor, const CoverSurface::RoleMaker& make_role);
  void FreeCover(FreeMode mode);

  void Free(FreeMode mode);

 private:
  friend struct WaylandOutputListeners;
  void OnGeometry(std::int32_t x, std::int32_t y, std::int32_t transform);
  void OnMode(std::uint32_t flags, std::int32_t width, std::int32_t height);

  std::uint32_t registry_name_;
  wl_output* output_ = nullptr;
  zxdg_output_v1* xdg_output_ = nullptr;
  OutputReport report_;
  std::string connector_;
  int frame_index_ = -1;
  // The cover's user data: the seat reckons pointer positions from it.
  OutputPlace input_place_;
  std::unique_ptr<CoverSurface> cover_;
};

}  // namespace ostrel
