#pragma once

// A scripted platform for tests: a screen of any size with a known picture on
// it, a clipboard, a cursor counter, a message queue the test fills, and a log
// of every call in the order it was made.

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/software_surface.h"

namespace ostrel {

struct FakeEvent {
  enum class Kind { kTick, kClick, kKeyDown, kMouseDown, kMouseUp, kMouseMove, kSystemClose };
  Kind kind = Kind::kTick;
  int code = 0;  // KeyCode or Button
  int shift = 0;
  float x = 0.0F;
  float y = 0.0F;

  static FakeEvent Tick() { return {}; }
  static FakeEvent Move(float x, float y) { return {Kind::kMouseMove, 0, 0, x, y}; }
  static FakeEvent Key(int code, int shift = 0) { return {Kind::kKeyDown, code, shift}; }
  static FakeEvent Down(int button) { return {Kind::kMouseDown, button, 0, 0, 0}; }
  static FakeEvent Up(int button) { return {Kind::kMouseUp, button, 0, 0, 0}; }
  static FakeEvent Click() { return {Kind::kClick}; }
};

class FakePlatform final : public Platform {
 public:
  // A screen of width x height pixels at `twips_per_pixel`.
  FakePlatform(int width, int height, double twips_per_pixel = 15.0);

  // --- Script ---------------------------------------------------------------
  int cursor_counter = 0;
  // Whether the Print Screen key event puts the screen on the clipboard.
  bool print_screen_fills_clipboard = true;
  // Delivered by the first DoEvents (the start-up's yield).
  std::vector<FakeEvent> during_yield;
  // Delivered by RunMessageLoop, in order, while the window is open.
  std::deque<FakeEvent> queue;
  // Makes the named call throw PlatformError ("ClipboardPicture", "SetPicture", ...).
  std::string fail_on;

  // --- What happened ----------------------------------------------------------
  std::vector<std::string> log;
  // The cursor counter when ShowForm ran, if it did.
  std::optional<int> cursor_counter_at_show;
  // The frame just before and just after the first DoEvents.
  std::optional<Image> frame_before_yield;
  std::optional<Image> frame_after_yield;

  const Image& Screen() const { return screen_; }
  const Picture& Clipboard() const { return clipboard_; }
  SoftwareSurface& Raster() { return raster_; }
  // Calls in the log that start with `prefix`.
  std::vector<std::string> Calls(const std::string& prefix) const;

  // --- Platform -----------------------------------------------------------------
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
  DrawingSurface& Surface() override { return logging_surface_; }
  void ReportError(std::string_view message) override;
  void FinishRun(int status) noexcept override;

 private:
  // Forwards to the raster and logs each call.
  class LoggingSurface final : public DrawingSurface {
   public:
    explicit LoggingSurface(FakePlatform& owner) : owner_(owner) {}
    void SetDrawModeXorPen() override;
    void SetPenWidth(int pixels) override;
    void Circle(float x, float y, float radius, ColourValue colour) override;

   private:
    FakePlatform& owner_;
  };

  void Record(std::string call);
  void Deliver(const FakeEvent& event);

  Image screen_;
  double twips_per_pixel_;
  SoftwareSurface raster_;
  LoggingSurface logging_surface_{*this};
  Picture clipboard_;
  WindowEvents* events_ = nullptr;
  bool loaded_ = false;
  bool yielded_ = false;
};

// A recognisable desktop picture: every pixel different from its neighbours.
Image MakeTestDesktop(int width, int height);

}  // namespace ostrel
