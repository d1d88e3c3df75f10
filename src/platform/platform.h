#pragma once

// The thin layer between the program and the system it runs on. The window's
// logic talks to the system only through Platform; a backend reports the
// window's events only through WindowEvents.

#include <cstdint>
#include <string_view>

#include "platform/image.h"
#include "platform/platform_error.h"
#include "trails/drawing_surface.h"

namespace ostrel {

// The events of the one window, as the backend delivers them. X and Y are twips
// from the top-left corner of the window's drawing area.
class WindowEvents {
 public:
  virtual void Timer1_Timer() = 0;
  virtual void Form_Click() = 0;
  virtual void Form_KeyDown(int KeyCode, int Shift) = 0;
  virtual void Form_MouseDown(int Button, int Shift, float X, float Y) = 0;
  virtual void Form_MouseUp(int Button, int Shift, float X, float Y) = 0;
  virtual void Form_MouseMove(int Button, int Shift, float X, float Y) = 0;
  // The system asks the program to end (a signal, a session ending).
  virtual void Form_SystemClose() = 0;

 protected:
  ~WindowEvents() = default;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Creates the window (not yet shown) covering the screen, with its caption,
  // and starts its timer. From here on the window's events go to `events`.
  virtual void CreateForm(std::string_view caption, int timer_interval_ms,
                          WindowEvents& events) = 0;
  // Shows the window over the whole screen.
  virtual void ShowForm() = 0;
  // Delivers the window's events until it is closed.
  virtual void RunMessageLoop() = 0;
  // Closes the window; its timer stops and no event is delivered after this.
  virtual void UnloadForm() = 0;
  virtual bool FormLoaded() const = 0;

  // Synthesises one keyboard event (virtual-key code, scan code, flags, extra info).
  // For the Print Screen key-down the backend copies the whole screen to the
  // clipboard as a picture.
  virtual void KeybdEvent(std::uint8_t virtual_key, std::uint8_t scan_code, std::uint32_t flags,
                          std::uintptr_t extra_info) = 0;
  // Processes every pending window message once, then returns.
  virtual void DoEvents() = 0;

  // The clipboard's current picture, or null when it holds none.
  virtual Picture ClipboardPicture() = 0;
  // A copy of the whole screen, read directly.
  virtual Picture CaptureScreen() = 0;
  virtual void SetPicture(Picture picture) = 0;

  virtual float ScreenWidthTwips() = 0;
  virtual float ScreenHeightTwips() = 0;

  // Raises (show) or lowers the cursor display counter by one and returns the new
  // value; the cursor is visible while it is 0 or more.
  virtual int ShowCursor(bool show) = 0;

  // The window's drawing surface.
  virtual DrawingSurface& Surface() = 0;

  // Tells the user that the program failed; the window is already gone.
  virtual void ReportError(std::string_view message) = 0;

  // After the run, with the window gone and the cursor shown: hands on what
  // must outlive the program (the clipboard's picture, on systems where a
  // selection dies with its owner). `status` is the run's exit status, which
  // the program ends with whatever happens here. Reports its own failures and
  // never throws.
  virtual void FinishRun(int status) noexcept = 0;
};

// Virtual-key code and scan code of the Print Screen key, as the start-up sends them.
inline constexpr std::uint8_t kVirtualKeySnapshot = 44;
inline constexpr std::uint8_t kSnapshotScanCode = 1;
// The flag of a synthesised keyboard event that makes it a key-up.
inline constexpr std::uint32_t kKeyEventKeyUp = 0x0002;

// Whether a synthesised keyboard event is the Print Screen key-down, the one
// event a backend answers, by copying the whole screen to the clipboard.
constexpr bool IsSnapshotKeyDown(std::uint8_t virtual_key, std::uint32_t flags) {
  return virtual_key == kVirtualKeySnapshot && (flags & kKeyEventKeyUp) == 0;
}

}  // namespace ostrel
