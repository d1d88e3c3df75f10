#pragma once

// The program's platform on a Wayland compositor that offers layer-shell
// surfaces (wlroots compositors and others): one surface per output on the
// overlay layer, the outputs' screen copies in one frame in shared memory.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/software_surface.h"
#include "platform/wayland/frame_layout.h"

struct wl_display;

namespace ostrel {

class FrameCopies;
class OutputSurface;
class SeatInput;
class ShmMemory;
class WaylandClipboard;
class WaylandGlobals;
struct WaylandOutput;

class WaylandPlatform final : public Platform {
 public:
  // Connects to the compositor the environment names (WAYLAND_DISPLAY).
  // When none answers, returns null with `*answered` false and says why in
  // `error`; when one answers but cannot show the window (no layer-shell,
  // say), null with `*answered` true.
  static std::unique_ptr<WaylandPlatform> Open(std::string* error, bool* answered);
  ~WaylandPlatform() override;
  WaylandPlatform(const WaylandPlatform&) = delete;
  WaylandPlatform& operator=(const WaylandPlatform&) = delete;

  void CreateForm(std::string_view caption, int timer_interval_ms, WindowEvents& events) override;
  void ShowForm() override;
  void RunMessageLoop() override;
  void UnloadForm() override;
  bool FormLoaded() const override { return loaded_; }
  void KeybdEvent(std::uint8_t virtual_key, std::uint8_t scan_code, std::uint32_t flags,
                  std::uintptr_t extra_info) override;
  void DoEvents() override;
  Picture ClipboardPicture() override;
  Picture CaptureScreen() override;
  void SetPicture(Picture picture) override;
  float ScreenWidthTwips() override;
  float ScreenHeightTwips() override;
  int ShowCursor(bool show) override;
  DrawingSurface& Surface() override;
  void ReportError(std::string_view message) override;
  // Leaves the screen picture on the clipboard after the program ends.
  void FinishRun(int status) noexcept override;

 private:
  WaylandPlatform(wl_display* display, std::unique_ptr<WaylandGlobals> globals,
                  std::unique_ptr<SeatInput> input);

  // One pass over what is pending without waiting: events, signals, the tick.
  void ProcessPending();
  void Tick();
  // Commits whatever the frame copies' bookkeeping says can be shown now.
  void Present();
  // Notes the buffers the compositor gave back and the surfaces it closed.
  void CollectReleases();
  // Copies every output into the frame, which then holds the background.
  void Capture();
  void FrameIsBackground();
  Picture FramePicture() const;
  Image CopyImage(int copy) const;
  std::int64_t NextDeadline() const;
  void StartTimer();

  wl_display* display_;
  std::unique_ptr<WaylandGlobals> globals_;
  std::unique_ptr<SeatInput> input_;
  std::unique_ptr<WaylandClipboard> clipboard_;
  // The outputs covered, fixed at the start, and the frame over them.
  std::vector<WaylandOutput*> outputs_;
  std::vector<OutputPlace> places_;
  FrameLayout layout_;

  WindowEvents* events_ = nullptr;
  // The two copies of the frame, one after the other in one shared memory.
  std::shared_ptr<ShmMemory> memory_;
  std::size_t copy_bytes_ = 0;
  std::unique_ptr<SoftwareSurface> surface_;
  std::unique_ptr<FrameCopies> copies_;
  std::vector<std::unique_ptr<OutputSurface>> surfaces_;  // one per covered output
  bool loaded_ = false;
  bool shown_ = false;
  bool captured_ = false;
  bool flush_pending_ = false;
  // The clipboard serves on after the run: nothing more may be sent.
  bool handed_over_ = false;

  int cursor_counter_ = 0;

  // The timer: tick n is due at timer_start_ + n * the period.
  std::int64_t timer_start_ = 0;
  std::int64_t ticks_due_ = 0;
};

}  // namespace ostrel
