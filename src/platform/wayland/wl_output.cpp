#include "platform/wayland/wl_output.h"

#include <wayland-client.h>

#include <algorithm>

#include "xdg-output-unstable-v1-client-protocol.h"

namespace ostrel {
namespace {

WaylandOutput& Of(void* data) { return *static_cast<WaylandOutput*>(data); }

}  // namespace

struct WaylandOutputListeners {
  static constexpr wl_output_listener kOutput = {
      .geometry = [](void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t,
                     std::int32_t, std::int32_t, const char*, const char*,
                     std::int32_t transform) { Of(data).OnGeometry(x, y, transform); },
      .mode = [](void* data, wl_output*, std::uint32_t flags, std::int32_t width,
                 std::int32_t height, std::int32_t) { Of(data).OnMode(flags, width, height); },
      .done = [](void*, wl_output*) {},
      .scale = [](void* data, wl_output*,
                  std::int32_t factor) { Of(data).report_.scale = std::max(factor, 1); },
      .name = [](void*, wl_output*, const char*) {},
      .description = [](void*, wl_output*, const char*) {},
  };

  static constexpr zxdg_output_v1_listener kXdgOutput = {
      .logical_position =
          [](void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
            OutputReport& report = Of(data).report_;
            report.logical_x = x;
            report.logical_y = y;
            report.has_logical_position = true;
          },
      .logical_size =
          [](void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
            OutputReport& report = Of(data).report_;
            report.logical_width = width;
            report.logical_height = height;
            report.has_logical_size = true;
          },
      .done = [](void*, zxdg_output_v1*) {},
      .name = [](void* data, zxdg_output_v1*,
                 const char* name) { Of(data).connector_ = name != nullptr ? name : ""; },
      .description = [](void*, zxdg_output_v1*, const char*) {},
  };
};

WaylandOutput::WaylandOutput(std::uint32_t name, wl_output* output)
    : registry_name_(name), output_(output) {
  wl_output_add_listener(output_, &WaylandOutputListeners::kOutput, this);
}

WaylandOutput::~WaylandOutput() { Free(FreeMode::kWithRequests); }

void WaylandOutput::WatchXdgOutput(zxdg_output_manager_v1* manager) {
  if (manager == nullptr || xdg_output_ != nullptr || output_ == nullptr) return;
  xdg_output_ = zxdg_output_manager_v1_get_xdg_output(manager, output_);
  zxdg_output_v1_add_listener(xdg_output_, &WaylandOutputListeners::kXdgOutput, this);
}

void WaylandOutput::OnGeometry(std::int32_t x, std::int32_t y, std::int32_t transform) {
  report_.geometry_x = x;
  report_.geometry_y = y;
  report_.transform = transform;
}

void WaylandOutput::OnMode(std::uint32_t flags, std::int32_t width, std::int32_t height) {
  report_.NoteMode((flags & WL_OUTPUT_MODE_CURRENT) != 0, width, height);
}

void WaylandOutput::SetFramePlace(int index, const OutputPlace& place) {
  frame_index_ = index;
  input_place_ = place;
}

void WaylandOutput::SetCover(wl_compositor* compositor, const CoverSurface::RoleMaker& make_role) {
  if (frame_index_ < 0) input_place_ = PlaceOf(report_);
  cover_ = std::make_unique<CoverSurface>(compositor, &input_place_, make_role);
}

void WaylandOutput::FreeCover(FreeMode mode) {
  if (cover_) cover_->Free(mode);
  cover_.reset();
}

void WaylandOutput::Free(FreeMode mode) {
  FreeCover(mode);
  FreeProxy(xdg_output_, &zxdg_output_v1_destroy, mode);
  FreeProxy(output_, &wl_output_release, WL_OUTPUT_RELEASE_SINCE_VERSION, mode);
}

}  // namespace ostrel
