#pragma once

// The program's platform on an X11 display: Xlib with MIT-SHM and XFixes.
//
//   x11_platform.cpp  opening the display, the window and its map, the cursor,
//                     the end of the run (the clipboard's hand-off)
//   x11_loop.cpp      the one ppoll loop and the timer
//   x11_input.cpp     the grabs, the input read directly while another client
//                     holds them, X events to the window's handlers
//   x11_frame.cpp     the frame: the screen copied into it, presented, exposed
//   x11_capture.*     shared-memory images and the copy of the root window
//   x11_clipboard*.*, x11_outgoing_transfers.*  the CLIPBOARD selection
//   x11_errors.*      protocol and connection errors
// Every event reaches the window through its EventGate.

#include <X11/Xlib.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/event_gate.h"
#include "platform/platform.h"
#include "platform/posix/waiter.h"
#include "platform/software_surface.h"
#include "platform/tick_timer.h"
#include "platform/x11/x11_capture.h"

namespace ostrel {

class X11Clipboard;

class X11Platform final : public Platform {
 public:
  // Connects to $DISPLAY. Throws NoDisplayServer when there is no display to
  // connect to, and PlatformError when it cannot be used, having changed
  // nothing. A server that accepts the connection and never answers ends the
  // program (Watchdog) after kDisplayServerPatience.
  static std::unique_ptr<X11Platform> Open();
  ~X11Platform() override;
  X11Platform(const X11Platform&) = delete;
  X11Platform& operator=(const X11Platform&) = delete;

  void CreateForm(std::string_view caption, int timer_interval_ms, WindowEvents& events) override;
  void ShowForm() override;
  void RunMessageLoop() override;
  void UnloadForm() override;
  bool FormLoaded() const override { return gate_.IsOpen(); }
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
  // Lets a clipboard manager take the screen picture, so that it stays on the
  // clipboard after the program ends.
  void FinishRun(int status) noexcept override;

 private:
  explicit X11Platform(Display* display);

  void WaitForMap();
  void SetCursorHidden(bool hidden);
  float Twips(int pixels) const;

  // The loop and the timer (x11_loop.cpp).
  // One pass over what is pending: X events, signals, and the tick if due.
  void ProcessPending();
  // After a wait: a handler's failure thrown, the run ended on a signal.
  void AfterWait();
  void DispatchXEvents();
  void Tick();

  // Input (x11_input.cpp): the grabs, the pointer and keyboard read directly
  // while another client holds one, and the X events turned into handlers.
  void StartGrabs();
  void TryGrabs();
  void RetryGrabs();
  void ReleaseGrabs();
  void WatchInput();
  void Dispatch(const XEvent& event);

  // The frame and presenting it (x11_frame.cpp).
  void CreateFrame();
  // The frame as a picture of its own: the same memory, kept alive with it.
  Picture FramePicture() const;
  // The frame now holds the screen, or the picture given; no circle is shown.
  void FrameIsBackground();
  void Put(int x, int y, int width, int height);
  void PresentDirty();
  void PaintExposedBand();

  Display* display_;
  int screen_;
  Window root_;
  int width_;
  int height_;
  double twips_per_pixel_;
  PixelFormat format_;
  bool has_shm_;
  bool has_xfixes_;

  std::unique_ptr<X11Clipboard> clipboard_;

  // The one wait: the ending signals, the X connection.
  Waiter waiter_;
  Waiter::Registration signals_watch_;
  Waiter::Registration x_watch_;

  // The window and what lives with it.
  EventGate gate_;
  Window window_ = 0;
  GC gc_ = nullptr;
  // The one frame: the screen is copied into it and the trails are drawn on it
  // in place. Its memory is `frame_shm_`'s segment when the server shares
  // memory, plain memory described by `frame_image_` otherwise; `frame_owner_`
  // keeps either alive.
  std::shared_ptr<ShmImage> frame_shm_;
  XImage* frame_image_ = nullptr;
  std::shared_ptr<void> frame_owner_;
  std::unique_ptr<SoftwareSurface> surface_;
  bool shown_ = false;
  // Parts of the window to paint again from the frame (Expose), painted one
  // band of rows per pass of the loop.
  std::vector<Rect> exposed_;

  // The grabs, and while one is missing, what the pointer and keyboard showed
  // at the last look.
  bool pointer_grabbed_ = false;
  bool keyboard_grabbed_ = false;
  TimePoint grab_retry_end_{};
  bool grab_reported_ = false;
  bool pointer_seen_ = false;
  int pointer_x_ = 0;
  int pointer_y_ = 0;
  unsigned int pointer_buttons_ = 0;
  bool keys_seen_ = false;
  char keys_[32] = {};

  // The cursor display counter, and whether the cursor is hidden now.
  int cursor_counter_ = 0;
  bool cursor_hidden_ = false;
  Cursor blank_cursor_ = 0;

  TickTimer timer_;
};

}  // namespace ostrel
