#pragma once

// The program's platform on Windows: one pop-up window over every monitor, its
// picture in a GDI DIB section drawn by the software surface, the user32 timer
// and cursor counter, and the clipboard.
//
//   win32_platform.cpp     the window, the timer, the cursor, the Print Screen
//                          copy, the screen metrics, the error report
//   win32_loop.cpp         the message loop and the yield (DoEvents)
//   win32_window_proc.cpp  the window procedure: messages to the handlers,
//                          ticks, painting from the frame
//   win32_input.*          mouse and key messages to the handlers' arguments
//   win32_frame.*          the frame, a DIB section in a memory DC
//   win32_clipboard.*      the clipboard's picture, put and read
//   win32_text.*           UTF-8 and UTF-16, the system's error messages
// Every message reaches the window's handlers through its EventGate.

#include <windows.h>

#include <memory>
#include <optional>

#include "platform/event_gate.h"
#include "platform/platform.h"
#include "platform/software_surface.h"
#include "platform/win32/win32_clipboard.h"
#include "platform/win32/win32_frame.h"

namespace ostrel {

class Win32Platform final : public Platform {
 public:
  // Reads the virtual screen's place and size and the primary monitor's DPI;
  // the process's DPI awareness must be settled before. Opens nothing yet.
  explicit Win32Platform(HINSTANCE instance);
  ~Win32Platform() override;
  Win32Platform(const Win32Platform&) = delete;
  Win32Platform& operator=(const Win32Platform&) = delete;

  // The window, once CreateForm made it; null before and after.
  HWND Window() const { return window_; }

  void CreateForm(std::string_view caption, int timer_interval_ms, WindowEvents& events) override;
  void ShowForm() override;
  void RunMessageLoop() override;
  void UnloadForm() override;
  bool FormLoaded() const override { return gate_.IsOpen(); }
  // The Print Screen key-down copies the virtual screen to the clipboard; no
  // key is ever pressed (on current systems the real key opens a screenshot
  // tool over everything).
  void KeybdEvent(std::uint8_t virtual_key, std::uint8_t scan_code, std::uint32_t flags,
                  std::uintptr_t extra_info) override;
  void DoEvents() override;
  // The clipboard's picture, drawn straight into the window's frame. Null when
  // the clipboard holds none or a malformed one. After a Print Screen event,
  // null also unless the clipboard still holds the copy that event put there:
  // an older picture, or one another program put there since, is not the
  // desktop.
  Picture ClipboardPicture() override;
  // The virtual screen, copied straight into the window's frame. The first
  // call after a Print Screen event whose copy is still in the frame, with
  // nothing drawn or put into it since, answers with that copy: the screen is
  // not read twice.
  Picture CaptureScreen() override;
  void SetPicture(Picture picture) override;
  float ScreenWidthTwips() override;
  float ScreenHeightTwips() override;
  int ShowCursor(bool show) override;
  // Whoever takes the surface may draw: the frame no longer counts as the
  // Print Screen event's copy.
  DrawingSurface& Surface() override;
  // A message box with the text, and the text on stderr when there is one.
  void ReportError(std::string_view message) override;
  // The system's clipboard keeps the picture after the program ends: nothing
  // to hand on.
  void FinishRun(int /*status*/) noexcept override {}

  // Twips per pixel: 1440 / the primary monitor's DPI.
  double TwipsPerPixel() const { return twips_per_pixel_; }

 private:
  static constexpr UINT_PTR kTimerId = 1;

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  void HandleMouse(UINT message, WPARAM wparam, LPARAM lparam);
  void Tick();
  void Paint(HWND window);
  void PresentDirty();
  Picture FramePicture() const;
  Win32Frame& RequireFrame();
  float Twips(int pixels) const;

  HINSTANCE instance_;
  int left_;
  int top_;
  int width_;
  int height_;
  double twips_per_pixel_;

  // What a handler throws waits in the gate until the message has been
  // dispatched, for an exception must not cross the system's frames.
  EventGate gate_;
  HWND window_ = nullptr;
  HDC window_dc_ = nullptr;
  std::shared_ptr<Win32Frame> frame_;
  std::unique_ptr<SoftwareSurface> surface_;
  bool shown_ = false;
  // A Print Screen event has tried to put its copy on the clipboard.
  bool clipboard_copy_tried_ = false;
  // The clipboard's content that copy became; nothing when it did not get there.
  std::optional<ClipboardContent> clipboard_copy_;
  // The frame holds the Print Screen event's copy of the screen, with nothing
  // drawn or put into it since, and no direct copy has been asked for yet.
  bool frame_holds_print_screen_copy_ = false;
};

}  // namespace ostrel
