#pragma once

// The program's platform on a Wayland compositor: one cover per output (on
// the layer shell's overlay where it is offered, as wlroots compositors and
// KWin do; else a fullscreen toplevel, as on GNOME), the outputs' screen
// copies in one frame in shared memory, and one wait for everything.
//
//   wayland_platform.cpp  connecting, the window shown and closed, the
//                         cursor, the clipboard, the end of the run
//   wayland_loop.cpp      the one loop, the timer, what each dispatch
//                         leaves to do (releases, closed covers, new outputs)
//   wayland_frame.cpp     the frame's two copies in one shared memory, the
//                         screen copied into it, presented on the covers
//   wl_connection.*       the connection: connecting, in the wait, round trips
//   wl_globals.*          the registry: the globals, the seat, the outputs
//   wl_output.*           one output: its proxies, its place, its cover
//   wl_shm_memory.*, wl_free.h  shared memory; freeing objects
//   frame_layout.*        plain: the frame over the outputs, twips
//   screen_copy/          how the screen is copied: the chain of ways and
//                         their contract (copy_chain, screen_copier.h), the
//                         wlroots protocol (wlr_screen_copy), KWin's
//                         ScreenShot2 (kwin_screen_copy, its pictures in
//                         kwin_picture, raw_rows), GNOME's screen cast
//                         (mutter_screen_cast; its frames over PipeWire in
//                         pipewire_frames, screen_cast_buffer, spa_video;
//                         the library loaded by pipewire_library), the
//                         portal (portal_screen_copy, its paths in
//                         portal_uri), the session bus they share
//                         (desktop_bus), placing copies (placement)
//   cover/                how an output is covered: the surface
//                         (wl_cover_surface), its role (wl_cover_role.h:
//                         wl_layer_shell_role, wl_toplevel_role), the
//                         bookkeeping of the frame's two copies (frame_copies,
//                         cover)
//   input/                the seat (wl_seat_input) and what its events mean
//                         to the window (input_translator, input_mapping)
//   clipboard/            the clipboard, served on after the run
// Every event reaches the window through its EventGate; every wait is the
// Waiter's (posix/waiter.h).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/event_gate.h"
#include "platform/platform.h"
#include "platform/posix/waiter.h"
#include "platform/software_surface.h"
#include "platform/tick_timer.h"
#include "platform/wayland/frame_layout.h"
#include "platform/wayland/input/wl_seat_input.h"
#include "platform/wayland/wl_free.h"

struct wl_display;

namespace ostrel {

class Cover;
class DesktopBus;
class FrameCopies;
class ScreenCopyChain;
class ShmMemory;
class WaylandClipboard;
class WaylandGlobals;
class WaylandOutput;

class WaylandPlatform final : public Platform {
 public:
  // Connects to the compositor the environment names (WAYLAND_DISPLAY).
  // Throws NoDisplayServer when none answers (none is there, or one accepted
  // the connection and said nothing within kDisplayServerPatience), and
  // PlatformError when one answers but cannot show the window (no layer
  // shell and no desktop windows, say).
  static std::unique_ptr<WaylandPlatform> Open();
  ~WaylandPlatform() override;
  WaylandPlatform(const WaylandPlatform&) = delete;
  WaylandPlatform& operator=(const WaylandPlatform&) = delete;

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
  // Leaves the screen picture on the clipboard after the program ends.
  void FinishRun(int status) noexcept override;

 private:
  // Binds the globals on `display` (which it disconnects when destroyed) and
  // lays the frame out over the outputs there now. Throws as Open does.
  explicit WaylandPlatform(wl_display* display);

  // The loop (wayland_loop.cpp).
  // One pass over what is pending without waiting: events, signals, the tick.
  void ProcessPending();
  // Waits (serving the compositor, the buses and the signals meanwhile) until
  // `done` holds or `patience` has passed; an ending signal meanwhile ends
  // the run. True when `done` holds.
  bool WaitFor(const std::function<bool()>& done, Clock::duration patience);
  // What the events just dispatched leave to do: a handler's failure thrown,
  // the run ended on an ending signal, the covers' buffer releases and
  // closes noted, outputs that arrived or changed covered, the run ended
  // when nothing of the window shows.
  void AfterDispatch();
  void Tick();

  // The frame and the covers (wayland_frame.cpp).
  void CreateFrame();
  Image FrameCopyImage(int copy) const;
  // Copies every output into the frame, which then holds the background.
  void CopyScreen();
  void FrameIsBackground();
  Picture FramePicture() const;
  // A picture of its own on every cover narrower than the frame, shown
  // before its frame copies: a compositor may make a surface's first picture
  // from its buffer as if the rows lay back to back (KWin does, showing the
  // other outputs' rows in between), and reads only the damage of later
  // buffers. Waits until each is presented, briefly.
  void ShowFirstPictures();
  // Each output's buffers in the two frame copies, and the bookkeeping of
  // the copies, once every cover is configured.
  void ShowFrameCopies();
  // Covers outputs that have none (they came during the run) and gives a
  // still picture to covers whose output changed.
  void CoverNewAndChangedOutputs();
  // The cover of `output`: a layer-shell overlay where the compositor
  // offers the layer shell, else a fullscreen toplevel.
  void CoverOutput(WaylandOutput& output);
  // Looks up the frame's covers by their index in the frame (null: the
  // output went away) and the covers of outputs that came later, into
  // frame_covers_ and still_covers_.
  void FindCovers();
  // Moves drawing to the other frame copy when the compositor holds none of
  // its buffers, before a tick draws.
  void MoveBetweenFrameCopies();
  // Commits whatever the frame copies' bookkeeping says can be shown now.
  void Present();

  struct Connection {
    wl_display* display;
    ~Connection();
  };

  Connection connection_;
  wl_display* display_;
  // The one wait: the display, the ending signals, the session bus once a
  // way of copying the screen opens it, a picture's pipe while it comes.
  Waiter waiter_;
  Waiter::Registration display_watch_;
  Waiter::Registration signals_watch_;
  EventGate gate_;
  SeatInput input_;
  std::unique_ptr<WaylandGlobals> globals_;
  std::unique_ptr<WaylandClipboard> clipboard_;
  // The session bus, for the desktops' own screenshot services; opened only
  // when one of them is asked.
  std::unique_ptr<DesktopBus> bus_;
  // The ways of copying the screen, tried in order until one works.
  std::unique_ptr<ScreenCopyChain> screen_copy_;
  // The frame over the outputs there at the start; each of them has its
  // index in it.
  FrameLayout layout_;
  int frame_outputs_ = 0;
  std::string caption_;

  // The two copies of the frame, one after the other in one shared memory.
  std::shared_ptr<ShmMemory> memory_;
  std::size_t frame_copy_bytes_ = 0;
  std::unique_ptr<SoftwareSurface> drawing_;
  std::unique_ptr<FrameCopies> copies_;
  // FindCovers' answer, kept so that no tick allocates it anew.
  std::vector<Cover*> frame_covers_;
  std::vector<Cover*> still_covers_;
  bool shown_ = false;
  bool screen_copied_ = false;
  // The frame holds the screen (and the clipboard offers it).
  bool screen_in_frame_ = false;
  // After the clipboard's serving process took the connection over, nothing
  // more may be sent on it.
  FreeMode free_mode_ = FreeMode::kWithRequests;

  int cursor_counter_ = 0;
  TickTimer timer_;
};

}  // namespace ostrel
