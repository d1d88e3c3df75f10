#include "platform/wayland/wayland_platform.h"

#include <sys/prctl.h>
#include <wayland-client.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <functional>

#include "platform/posix/end_signals.h"
#include "platform/wayland/frame_copies.h"
#include "platform/wayland/wl_connection.h"
#include "platform/wayland/wl_globals.h"
#include "platform/wayland/wl_output_surface.h"
#include "platform/wayland/wl_screen_copy.h"
#include "platform/wayland/wl_seat_input.h"
#include "platform/wayland/wl_shm_memory.h"
#include "platform/wayland/wl_clipboard.h"

namespace ostrel {
namespace {

// A compositor that accepts the connection and never answers is given up on.
constexpr unsigned kOpenTimeoutMs = 4500;
// Screen copies take 30-90 ms on a software-rendering compositor.
constexpr int kCaptureTimeoutMs = 2000;

const char* DisplayName() {
  const char* name = std::getenv("WAYLAND_DISPLAY");
  return name != nullptr && *name != '\0' ? name : nullptr;
}

// libwayland's own messages. While connecting, the first is kept for the one
// line that says why no compositor answered (libwayland would print "error:
// XDG_RUNTIME_DIR is invalid..." in an X11 session without that variable);
// afterwards they are printed as the program's own lines.
std::string* connect_message = nullptr;

void LogLibwaylandMessage(const char* format, va_list arguments) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, arguments);
  std::string message(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '.')) message.pop_back();
  if (message.rfind("error: ", 0) == 0) message.erase(0, 7);
  if (connect_message != nullptr) {
    if (connect_message->empty()) *connect_message = message;
    return;
  }
  std::fprintf(stderr, "ostrel: Wayland: %s\n", message.c_str());
}

wl_display* ConnectQuietly(std::string* message) {
  wl_log_set_handler_client(LogLibwaylandMessage);
  connect_message = message;
  wl_display* display = wl_display_connect(nullptr);
  connect_message = nullptr;
  return display;
}

}  // namespace

std::unique_ptr<WaylandPlatform> WaylandPlatform::Open(std::string* error, bool* answered) {
  *answered = false;
  std::string why;
  wl_display* display = ConnectQuietly(&why);
  if (display == nullptr) {
    const char* name = DisplayName();
    *error = name == nullptr ? std::string("no Wayland compositor (WAYLAND_DISPLAY is not set)")
                             : std::string("no Wayland compositor at \"") + name + "\"" +
                                   (why.empty() ? std::string() : " (" + why + ")");
    return nullptr;
  }
  *answered = true;
  try {
    // Nothing is on the screen yet: a compositor that never answers is left
    // by ending the process with a message.
    Watchdog watchdog(kOpenTimeoutMs, "the Wayland compositor accepted the connection but did "
                                      "not answer");
    auto input = std::make_unique<SeatInput>();
    auto globals = std::make_unique<WaylandGlobals>(
        // The seat may be announced later in the run: the input object, not
        // this function's variable, is what the call must reach.
        display, [seat_input = input.get()](wl_seat* seat) { seat_input->Listen(seat); });
    const std::string missing = globals->Missing();
    if (!missing.empty()) {
      *error = "the Wayland compositor does not offer " + missing +
               "; ostrel runs on compositors with layer-shell surfaces (sway, Hyprland, river, "
               "labwc, Wayfire, KDE Plasma) and in X11 sessions";
      input.reset();
      globals.reset();
      wl_display_disconnect(display);
      return nullptr;
    }
    return std::unique_ptr<WaylandPlatform>(
        new WaylandPlatform(display, std::move(globals), std::move(input)));
  } catch (const std::exception& failure) {
    *error = failure.what();
    wl_display_disconnect(display);
    return nullptr;
  }
}

WaylandPlatform::WaylandPlatform(wl_display* display, std::unique_ptr<WaylandGlobals> globals,
                                 std::unique_ptr<SeatInput> input)
    : display_(display), globals_(std::move(globals)), input_(std::move(input)) {
  // The timer's deadlines are met to the microsecond, not to the default 50.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  for (auto& output : globals_->outputs) {
    const OutputPlace place = PlaceOf(output->report);
    if (output->removed || place.width <= 0 || place.height <= 0) continue;
    outputs_.push_back(output.get());
    places_.push_back(place);
  }
  layout_ = LayoutOf(places_);
  // Outputs that appear from now on are not covered.
  globals_->accept_outputs = false;
  clipboard_ = std::make_unique<WaylandClipboard>(display_, globals_->seat, globals_->data_control,
                                                  globals_->data_device_manager, PixelFormat{});
  // From here on the event loop takes the ending signals.
  QueueEndSignals();
}

WaylandPlatform::~WaylandPlatform() {
  if (loaded_) {
    try {
      UnloadForm();
    } catch (...) {
    }
  }
  const bool send = !handed_over_;
  // The clipboard lends the frame, so it goes first.
  clipboard_.reset();
  for (auto& surface : surfaces_) surface->Destroy(send);
  surfaces_.clear();
  if (input_) input_->Destroy(send);
  input_.reset();
  if (memory_) memory_->ReleasePool(send);
  if (!send) globals_->Forget();
  globals_.reset();
  if (send) wl_display_flush(display_);
  wl_display_disconnect(display_);
}

void WaylandPlatform::FinishRun(int status) noexcept {
  // The surfaces are gone and the cursor shown: a signal during the hand-off
  // ends the program at once, with the run's status.
  EndAtOnceOnSignal(status);
  // A connection that failed (the run's error says so already) serves
  // nothing more.
  if (clipboard_ && wl_display_get_error(display_) == 0) {
    // The pointer and keyboard are let go first: the serving process reads
    // only the clipboard's events, and a keyboard it kept would be sent a new
    // keymap (a file descriptor) whenever the seat's keyboard changes, piling
    // up unread for as long as it serves.
    if (input_) input_->Destroy(true);
    handed_over_ = clipboard_->KeepServingAfterExit();
  }
}

void WaylandPlatform::CreateForm(std::string_view /*caption*/, int /*timer_interval_ms*/,
                                 WindowEvents& events) {
  events_ = &events;
  // Two copies of the frame in one shared memory; pages are taken only as
  // they are written, and the second copy only from the first tick on.
  const auto width = static_cast<std::size_t>(layout_.width);
  copy_bytes_ = width * static_cast<std::size_t>(layout_.height) * 4;
  // One row more: the compositor checks that a buffer's every row, the last
  // one too, lies whole in the pool, and a buffer for an output at the right
  // of the last copy has its last row run past the copy by a stride's rest.
  memory_ = std::make_shared<ShmMemory>(globals_->shm,
                                        copy_bytes_ * FrameCopies::kCopies + width * 4);
  surface_ = std::make_unique<SoftwareSurface>(CopyImage(0), layout_.TwipsPerPixel());

  input_->Translator().SetWindow(events_, [this](InputTranslator::SurfaceKey surface, double x,
                                                 double y, float& tx, float& ty) {
    // An event about a surface destroyed meanwhile names none (null), as
    // does every destroyed surface in the list: no match.
    if (surface == nullptr) return false;
    for (std::size_t i = 0; i < surfaces_.size(); ++i) {
      if (surfaces_[i]->Surface() != surface) continue;
      tx = layout_.TwipsX(places_[i], x);
      ty = layout_.TwipsY(places_[i], y);
      return true;
    }
    return false;
  });
  input_->OnSerial([this](std::uint32_t serial) { clipboard_->NoteInputSerial(serial); });
  loaded_ = true;
  StartTimer();
}

Image WaylandPlatform::CopyImage(int copy) const {
  return Image(memory_->Pixels(static_cast<std::size_t>(copy) * copy_bytes_), layout_.width,
               layout_.height, layout_.width, memory_);
}

void WaylandPlatform::StartTimer() {
  timer_start_ = MonotonicNs();
  ticks_due_ = 1;
}

void WaylandPlatform::Capture() {
  if (globals_->screencopy == nullptr) {
    if (!captured_) {
      std::fprintf(stderr,
                   "ostrel: the compositor offers no screen copy (zwlr_screencopy_manager_v1): "
                   "running over a black picture\n");
    }
    captured_ = true;
    return;
  }
  std::vector<CaptureTarget> targets;
  for (std::size_t i = 0; i < outputs_.size(); ++i) {
    targets.push_back(
        {outputs_[i]->output, layout_.PixelRect(places_[i]), outputs_[i]->report.transform});
  }
  const CaptureFrame frame{&surface_->Frame(), memory_.get(),
                           static_cast<std::size_t>(copies_ ? copies_->Current() : 0) *
                               copy_bytes_};
  const std::string failures = CaptureOutputs(display_, globals_->screencopy, globals_->shm,
                                              frame, targets, kCaptureTimeoutMs);
  input_->RethrowFailure();
  if (!failures.empty()) std::fprintf(stderr, "ostrel: screen copy failed: %s\n", failures.c_str());
  captured_ = true;
  // The copy took several ticks' time: the timer counts from now, so that no
  // tick draws into the frame before it becomes the window's picture.
  StartTimer();
}

void WaylandPlatform::KeybdEvent(std::uint8_t virtual_key, std::uint8_t /*scan_code*/,
                                 std::uint32_t flags, std::uintptr_t /*extra_info*/) {
  // The Print Screen key-down copies the whole screen to the clipboard. No
  // other key is ever synthesised.
  if (!IsSnapshotKeyDown(virtual_key, flags)) return;
  if (!surface_) throw PlatformError("the screen is copied into the window, which does not exist");
  Capture();
  FrameIsBackground();
  // Without a screen copy there is no picture to offer: the clipboard keeps
  // what it holds.
  if (globals_->screencopy == nullptr) return;
  // The clipboard's picture is the frame itself, later drawn on: its PNG is
  // encoded from the frame with the circles shown erased for the time.
  clipboard_->Own(FramePicture(), [this](const std::function<void(const Image&)>& use) {
    surface_->WithBackground(use);
  });
}

void WaylandPlatform::DoEvents() { ProcessPending(); }

Picture WaylandPlatform::ClipboardPicture() { return clipboard_->Read(); }

Picture WaylandPlatform::CaptureScreen() {
  if (!surface_) throw PlatformError("the screen is copied into the window, which does not exist");
  // The window is not shown yet, so the copy the start-up made is still the
  // screen; only a run without one copies now.
  if (!captured_) Capture();
  FrameIsBackground();
  return FramePicture();
}

void WaylandPlatform::SetPicture(Picture picture) {
  // The frame's own picture (the screen copied into it) is not copied again.
  if (picture) {
    surface_->SetBackground(*picture);
  } else {
    surface_->Frame().Fill(0);
    FrameIsBackground();
  }
  if (copies_) {
    const Rect whole{0, 0, layout_.width, layout_.height};
    copies_->Changed({&whole, 1});
  }
  surface_->ClearDirtyRects();
  if (shown_) Present();
}

Picture WaylandPlatform::FramePicture() const {
  Image& frame = surface_->Frame();
  return std::make_shared<const Image>(frame.Row(0), frame.Width(), frame.Height(), frame.Stride(),
                                       memory_);
}

void WaylandPlatform::FrameIsBackground() {
  surface_->SetBackground(surface_->Frame());
  surface_->ClearDirtyRects();
}

float WaylandPlatform::ScreenWidthTwips() {
  return static_cast<float>(layout_.width * layout_.TwipsPerPixel());
}

float WaylandPlatform::ScreenHeightTwips() {
  return static_cast<float>(layout_.height * layout_.TwipsPerPixel());
}

int WaylandPlatform::ShowCursor(bool show) {
  cursor_counter_ += show ? 1 : -1;
  input_->SetCursorHidden(cursor_counter_ < 0);
  return cursor_counter_;
}

DrawingSurface& WaylandPlatform::Surface() { return *surface_; }

void WaylandPlatform::ReportError(std::string_view message) {
  std::fprintf(stderr, "ostrel: %.*s\n", static_cast<int>(message.size()), message.data());
}

}  // namespace ostrel
