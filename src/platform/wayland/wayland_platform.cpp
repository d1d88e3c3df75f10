#include "platform/wayland/wayland_platform.h"

#include <sys/prctl.h>
#include <wayland-client.h>

#include <algorithm>
#include <string>

#include "platform/posix/end_signals.h"
#include "platform/posix/warning.h"
#include "platform/wayland/clipboard/wl_clipboard.h"
#include "platform/wayland/cover/frame_copies.h"
#include "platform/wayland/screen_copy/copy_chain.h"
#include "platform/wayland/screen_copy/desktop_bus.h"
#include "platform/wayland/screen_copy/kwin_screen_copy.h"
#include "platform/wayland/screen_copy/mutter_screen_cast.h"
#include "platform/wayland/screen_copy/portal_screen_copy.h"
#include "platform/wayland/screen_copy/wlr_screen_copy.h"
#include "platform/wayland/wl_connection.h"
#include "platform/wayland/wl_globals.h"
#include "platform/wayland/wl_shm_memory.h"

namespace ostrel {
namespace {

constexpr auto kConfigurePatience = std::chrono::seconds(2);

}  // namespace

WaylandPlatform::Connection::~Connection() { wl_display_disconnect(display); }

std::unique_ptr<WaylandPlatform> WaylandPlatform::Open() {
  std::unique_ptr<WaylandPlatform> platform(new WaylandPlatform(ConnectToCompositor()));
  const std::string missing = platform->globals_->Missing();
  if (!missing.empty()) {
    throw PlatformError(
        "the Wayland compositor does not offer " + missing +
        "; ostrel runs on compositors with layer-shell surfaces or desktop windows "
        "(sway, Hyprland, river, labwc, Wayfire, KDE Plasma, GNOME) and in X11 sessions");
  }
  return platform;
}

WaylandPlatform::WaylandPlatform(wl_display* display)
    : connection_{display},
      display_(display),
      display_watch_(WatchDisplay(waiter_, display)),
      input_(gate_) {
  // The timer's deadlines are met to the microsecond, not to the default 50.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  globals_ = std::make_unique<WaylandGlobals>(display_, input_);
  // Nothing is on the screen yet: a compositor that never answers is left
  // for the next backend.
  globals_->Discover(waiter_, Clock::now() + kDisplayServerPatience);
  if (!globals_->Missing().empty()) return;
  // The frame covers the outputs there now; they keep their places in it
  // for the whole run, whatever they do later.
  std::vector<OutputPlace> places;
  for (auto& [name, output] : globals_->outputs) {
    const OutputPlace place = PlaceOf(output->Report());
    if (place.width <= 0 || place.height <= 0) continue;
    output->SetFramePlace(static_cast<int>(places.size()), place);
    places.push_back(place);
  }
  layout_ = LayoutOf(places);
  frame_outputs_ = static_cast<int>(places.size());
  input_.SetLayout(layout_);
  // The compositor's own screen copy where it has one (wlroots); then the
  // desktop's services on the session bus: KWin's, GNOME's screen cast, the
  // portal.
  bus_ = std::make_unique<DesktopBus>(waiter_);
  screen_copy_ = std::make_unique<ScreenCopyChain>();
  if (globals_->screencopy != nullptr) {
    screen_copy_->Add(MakeWlrScreenCopier(waiter_, globals_->screencopy, globals_->shm));
  } else {
    bus_->OpenEarly();
  }
  screen_copy_->Add(MakeKWinScreenCopier(*bus_, waiter_));
  screen_copy_->Add(MakeMutterScreenCaster(*bus_, waiter_));
  screen_copy_->Add(MakePortalScreenCopier(*bus_, waiter_));
  clipboard_ = std::make_unique<WaylandClipboard>(display_, globals_->seat, globals_->data_control,
                                                  globals_->data_device_manager, PixelFormat{});
  input_.GiveSerialsTo(clipboard_.get());
  // From here on the event loop takes the ending signals.
  signals_watch_ = WatchEndSignals(waiter_);
  QueueEndSignals();
}

WaylandPlatform::~WaylandPlatform() {
  if (gate_.IsOpen()) {
    try {
      UnloadForm();
    } catch (...) {
    }
  }
  // The clipboard lends the frame, so it goes first.
  input_.GiveSerialsTo(nullptr);
  clipboard_.reset();
  input_.Free(free_mode_);
  screen_copy_.reset();
  bus_.reset();
  if (memory_) memory_->FreePool(free_mode_);
  globals_->Free(free_mode_);
  if (free_mode_ == FreeMode::kWithRequests) wl_display_flush(display_);
}

void WaylandPlatform::FinishRun(int status) noexcept {
  // The covers are gone and the cursor shown: a signal during the hand-off
  // ends the program at once, with the run's status.
  EndAtOnceOnSignal(status);
  // A connection that failed (the run's error says so already) serves
  // nothing more.
  if (!clipboard_ || wl_display_get_error(display_) != 0) return;
  // The pointer and keyboard are let go first: the serving process reads
  // only the clipboard's events, and a keyboard it kept would be sent a new
  // keymap (a file descriptor) whenever the seat's keyboard changes, piling
  // up unread for as long as it serves.
  input_.Free(FreeMode::kWithRequests);
  if (clipboard_->KeepServingAfterExit()) free_mode_ = FreeMode::kSilently;
}

void WaylandPlatform::CreateForm(std::string_view caption, int /*timer_interval_ms*/,
                                 WindowEvents& events) {
  caption_ = caption;
  CreateFrame();
  gate_.Open(events);
  timer_.Start(Clock::now());
}

void WaylandPlatform::ShowForm() {
  if (!gate_.IsOpen()) return;  // a signal during the start-up's yield already ended the run
  for (auto& [name, output] : globals_->outputs) CoverOutput(*output);
  const bool answered = WaitFor(
      [this] {
        return std::all_of(globals_->outputs.begin(), globals_->outputs.end(),
                           [](const auto& entry) {
                             // One that came meanwhile is covered later.
                             const CoverSurface* cover = entry.second->Cover();
                             return cover == nullptr || cover->Answered();
                           });
      },
      kConfigurePatience);
  if (!gate_.IsOpen()) return;  // a key or a signal during the wait ended the run
  if (!answered) throw PlatformError("the compositor did not configure the window's covers");
  ShowFirstPictures();
  if (!gate_.IsOpen()) return;
  ShowFrameCopies();
  shown_ = true;
  Present();
}

void WaylandPlatform::CoverOutput(WaylandOutput& output) {
  wl_output* proxy = output.Proxy();
  output.SetCover(globals_->compositor, [this, proxy](wl_surface* surface) {
    return globals_->layer_shell != nullptr
               ? MakeLayerShellRole(globals_->layer_shell, surface, proxy)
               : MakeToplevelRole(globals_->wm_base, surface, proxy, caption_);
  });
}

void WaylandPlatform::UnloadForm() {
  if (!gate_.IsOpen()) return;
  gate_.Close();
  shown_ = false;
  // The frame's memory stays: the clipboard may still encode its picture.
  for (auto& [name, output] : globals_->outputs) output->FreeCover(FreeMode::kWithRequests);
  copies_.reset();
  frame_covers_.clear();
  still_covers_.clear();
  wl_display_flush(display_);
}

void WaylandPlatform::KeybdEvent(std::uint8_t virtual_key, std::uint8_t /*scan_code*/,
                                 std::uint32_t flags, std::uintptr_t /*extra_info*/) {
  // The Print Screen key-down copies the whole screen to the clipboard. No
  // other key is ever synthesised.
  if (!IsSnapshotKeyDown(virtual_key, flags)) return;
  if (!drawing_) throw PlatformError("the screen is copied into the window, which does not exist");
  CopyScreen();
  FrameIsBackground();
  // Without a screen copy there is no picture to offer: the clipboard keeps
  // what it holds.
  if (!screen_in_frame_) return;
  // The clipboard's picture is the frame itself, later drawn on: its PNG is
  // encoded from the frame with the circles shown erased for the time.
  clipboard_->Own(FramePicture(), [this](const std::function<void(const Image&)>& use) {
    drawing_->WithBackground(use);
  });
}

Picture WaylandPlatform::ClipboardPicture() { return clipboard_->Read(); }

Picture WaylandPlatform::CaptureScreen() {
  if (!drawing_) throw PlatformError("the screen is copied into the window, which does not exist");
  // The window is not shown yet, so the copy the start-up made is still the
  // screen; only a run without one copies now.
  if (!screen_copied_) CopyScreen();
  FrameIsBackground();
  return FramePicture();
}

float WaylandPlatform::ScreenWidthTwips() {
  return static_cast<float>(layout_.width * layout_.TwipsPerPixel());
}

float WaylandPlatform::ScreenHeightTwips() {
  return static_cast<float>(layout_.height * layout_.TwipsPerPixel());
}

int WaylandPlatform::ShowCursor(bool show) {
  cursor_counter_ += show ? 1 : -1;
  input_.SetCursorHidden(cursor_counter_ < 0);
  return cursor_counter_;
}

DrawingSurface& WaylandPlatform::Surface() { return *drawing_; }

void WaylandPlatform::ReportError(std::string_view message) { Warn(message); }

}  // namespace ostrel
