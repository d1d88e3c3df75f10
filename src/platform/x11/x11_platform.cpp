#include "platform/x11/x11_platform.h"

#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xfixes.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "platform/x11/x11_capture.h"
#include "platform/x11/x11_clipboard.h"
#include "platform/x11/x11_errors.h"
#include "platform/posix/end_signals.h"

namespace ostrel {
namespace {

// X has no timer of its own. The window ticks at 64 Hz, the default timer
// resolution of the system the program was designed on, so a run looks the
// same here as there.
constexpr std::int64_t kTickPeriodNs = 15'625'000;

constexpr long kWindowEvents = ExposureMask | KeyPressMask | ButtonPressMask | ButtonReleaseMask |
                               PointerMotionMask | EnterWindowMask | StructureNotifyMask;

constexpr std::chrono::milliseconds kClipboardReadTimeout{1000};
constexpr std::chrono::milliseconds kClipboardHandOffTimeout{3000};
constexpr std::int64_t kMapTimeoutNs = 2'000'000'000;
// A server that accepts the connection and then never answers (a dead SSH
// tunnel, a hung server) is given up on after this long.
constexpr unsigned kOpenTimeoutMs = 4500;
// A grab another client holds is asked for again at every tick for this long,
// then reported, then asked for four times a second.
constexpr std::int64_t kGrabRetryNs = 1'000'000'000;
constexpr std::int64_t kGrabRetryEveryTicks = 16;
constexpr unsigned kPointerGrabEvents = ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
// The most of the frame sent in one request when the window is painted again:
// the server handles no input while it copies one request.
constexpr std::size_t kPaintBandBytes = std::size_t{4} << 20;

std::int64_t NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// Xft.dpi from the root window's RESOURCE_MANAGER, where desktops publish the
// screen's resolution; 96 when it is not set.
double ScreenDpi(Display* display) {
  constexpr double kDefaultDpi = 96.0;
  const char* resources = XResourceManagerString(display);
  if (resources == nullptr) return kDefaultDpi;
  XrmInitialize();
  XrmDatabase database = XrmGetStringDatabase(resources);
  if (database == nullptr) return kDefaultDpi;
  double dpi = kDefaultDpi;
  char* type = nullptr;
  XrmValue value{};
  if (XrmGetResource(database, "Xft.dpi", "Xft.Dpi", &type, &value) && value.addr != nullptr) {
    char* end = nullptr;
    const double parsed = std::strtod(value.addr, &end);
    if (end != value.addr && parsed >= 10.0 && parsed <= 2000.0) dpi = parsed;
  }
  XrmDestroyDatabase(database);
  return dpi;
}

// The window's Shift argument: bit 0 Shift, bit 1 Ctrl, bit 2 Alt.
int ShiftOf(unsigned int state) {
  return ((state & ShiftMask) != 0 ? 1 : 0) | ((state & ControlMask) != 0 ? 2 : 0) |
         ((state & Mod1Mask) != 0 ? 4 : 0);
}

// The window's Button argument: 1 left, 2 right, 4 middle; other buttons
// (wheel, side buttons) by their X number shifted past those.
int ButtonOf(unsigned int button) {
  switch (button) {
    case Button1:
      return 1;
    case Button2:
      return 4;
    case Button3:
      return 2;
    default:
      return static_cast<int>(8U << (button - Button4 < 16U ? button - Button4 : 0U));
  }
}

// The buttons held during a motion, in the same terms.
int ButtonsHeld(unsigned int state) {
  return ((state & Button1Mask) != 0 ? 1 : 0) | ((state & Button3Mask) != 0 ? 2 : 0) |
         ((state & Button2Mask) != 0 ? 4 : 0);
}

}  // namespace

std::unique_ptr<X11Platform> X11Platform::Open(const char* display_name, std::string* error) {
  const char* tried = display_name != nullptr ? display_name : std::getenv("DISPLAY");
  // Nothing is on the screen yet, so a server that never answers can simply
  // be left: the watchdog ends the process with a message and status 1.
  char seconds[16];
  std::snprintf(seconds, sizeof seconds, "%.1f", kOpenTimeoutMs / 1000.0);
  const std::string silent =
      std::string("the X server of display \"") + (tried != nullptr ? tried : "") +
      "\" accepted the connection but did not answer within " + seconds + " s";
  Watchdog watchdog(kOpenTimeoutMs, silent.c_str());
  Display* display = XOpenDisplay(display_name);
  if (display == nullptr) {
    *error = std::string("cannot open display \"") + (tried != nullptr ? tried : "") + "\"" +
             (tried == nullptr || *tried == '\0' ? " (DISPLAY is not set)" : "");
    return nullptr;
  }
  try {
    return std::unique_ptr<X11Platform>(new X11Platform(display));
  } catch (const std::exception& failure) {
    XCloseDisplay(display);
    *error = failure.what();
    return nullptr;
  }
}

X11Platform::X11Platform(Display* display)
    : display_(display),
      screen_(DefaultScreen(display)),
      root_(RootWindow(display, screen_)),
      width_(DisplayWidth(display, screen_)),
      height_(DisplayHeight(display, screen_)),
      twips_per_pixel_(1440.0 / ScreenDpi(display)),
      format_(FormatOfVisual(DefaultVisual(display, screen_), DefaultDepth(display, screen_))),
      has_shm_(ServerHasShm(display)) {
  InstallXErrorHandlers();
  // The timer's deadlines are met to the microsecond, not to the default 50.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  int event_base = 0;
  int error_base = 0;
  has_xfixes_ = XFixesQueryExtension(display, &event_base, &error_base) != 0;
  if (has_xfixes_) {
    int major = 4;
    int minor = 0;
    has_xfixes_ = XFixesQueryVersion(display, &major, &minor) != 0 && major >= 4;
  }
  clipboard_ = std::make_unique<X11Clipboard>(display, format_);
  // From here on the event loop takes the ending signals.
  QueueEndSignals();
}

X11Platform::~X11Platform() {
  if (loaded_) {
    try {
      UnloadForm();
    } catch (...) {
    }
  }
  // Everything in shared memory must let go while the display is still open;
  // the clipboard lends the frame, so it goes first.
  clipboard_.reset();
  surface_.reset();
  frame_shm_.reset();
  frame_owner_.reset();
  if (frame_image_ != nullptr) {
    frame_image_->data = nullptr;  // the pixels belong to the frame
    XDestroyImage(frame_image_);
  }
  if (gc_ != nullptr) XFreeGC(display_, gc_);
  if (blank_cursor_ != 0) XFreeCursor(display_, blank_cursor_);
  XCloseDisplay(display_);
}

void X11Platform::FinishRun(int status) noexcept {
  // The window is gone and the cursor shown: a signal during the hand-off ends
  // the program at once, with the run's status.
  EndAtOnceOnSignal(status);
  // The frame outlives the window until here: the manager's copy of the
  // picture is encoded from it.
  try {
    if (clipboard_->Owned()) clipboard_->HandOffToManager(kClipboardHandOffTimeout);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "ostrel: the clipboard could not be handed over: %s\n", failure.what());
  }
}

float X11Platform::Twips(int pixels) const { return static_cast<float>(pixels * twips_per_pixel_); }

void X11Platform::CreateForm(std::string_view caption, int /*timer_interval_ms*/,
                             WindowEvents& events) {
  events_ = &events;
  // Override-redirect: no window manager decorates, moves or resizes it.
  // No background: until it draws, it shows exactly what was on the screen.
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixmap = None;
  attributes.backing_store = NotUseful;
  attributes.event_mask = kWindowEvents;
  window_ =
      XCreateWindow(display_, root_, 0, 0, static_cast<unsigned>(width_),
                    static_cast<unsigned>(height_), 0, CopyFromParent, InputOutput, CopyFromParent,
                    CWOverrideRedirect | CWBackPixmap | CWBackingStore | CWEventMask, &attributes);
  const std::string name(caption);
  XStoreName(display_, window_, name.c_str());
  XClassHint class_hint{const_cast<char*>("ostrel"), const_cast<char*>("Ostrel")};
  XSetClassHint(display_, window_, &class_hint);
  gc_ = XCreateGC(display_, window_, 0, nullptr);

  // The frame: in shared memory when the server has it, so that the screen is
  // copied straight into it and presenting a tick copies nothing through the
  // socket. Its pixels are left unset: the screen copy fills every one.
  Image frame;
  if (has_shm_) {
    frame_shm_ = ShmImage::Create(display_, DefaultVisual(display_, screen_),
                                  DefaultDepth(display_, screen_), width_, height_);
  }
  if (frame_shm_) {
    frame = ShmImage::View(frame_shm_);
    frame_owner_ = frame_shm_;
  } else {
    const auto count = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    std::shared_ptr<std::uint32_t[]> pixels(new std::uint32_t[count]);
    frame = Image(pixels.get(), width_, height_, width_, pixels);
    frame_owner_ = std::move(pixels);
    frame_image_ =
        XCreateImage(display_, DefaultVisual(display_, screen_),
                     static_cast<unsigned>(DefaultDepth(display_, screen_)), ZPixmap, 0,
                     reinterpret_cast<char*>(frame.Row(0)), static_cast<unsigned>(width_),
                     static_cast<unsigned>(height_), 32, static_cast<int>(frame.Stride() * 4));
    if (frame_image_ == nullptr) throw PlatformError("cannot describe the window's picture");
  }
  surface_ = std::make_unique<SoftwareSurface>(std::move(frame), twips_per_pixel_, format_);

  loaded_ = true;
  timer_start_ = NowNs();
  ticks_due_ = 1;
  ThrowIfXErrorPending();
}

void X11Platform::ShowForm() {
  if (!loaded_) return;  // a signal during the start-up's yield already ended the run
  XMapRaised(display_, window_);
  WaitForMap();
  shown_ = true;
  // The pointer and the keyboard, as full-screen programs take them. Another
  // client may hold them (an open menu): the loop asks again and meanwhile
  // watches them (RetryGrabs); nothing here waits.
  grab_retry_end_ = NowNs() + kGrabRetryNs;
  TryGrabs();
  if (!pointer_grabbed_ || !keyboard_grabbed_) WatchInput();
  // The Expose that follows the map presents the frame; anything drawn before
  // it is part of that.
  surface_->ClearDirtyRects();
  XFlush(display_);
  ThrowIfXErrorPending();
}

void X11Platform::WaitForMap() {
  const std::int64_t give_up = NowNs() + kMapTimeoutNs;
  XEvent event;
  const auto is_map = [](Display*, XEvent* e, XPointer arg) -> Bool {
    return e->type == MapNotify && e->xmap.window == *reinterpret_cast<Window*>(arg);
  };
  while (XCheckIfEvent(display_, &event, is_map, reinterpret_cast<XPointer>(&window_)) == False) {
    const std::int64_t left = give_up - NowNs();
    if (left <= 0) throw PlatformError("the window did not appear");
    pollfd fd{ConnectionNumber(display_), POLLIN, 0};
    const timespec timeout{0, std::min<std::int64_t>(left, 10'000'000)};
    ppoll(&fd, 1, &timeout, nullptr);
  }
}

void X11Platform::TryGrabs() {
  // The pointer's events all come to the window while it is grabbed; the
  // keys come to it even when another client has the input focus.
  if (!pointer_grabbed_) {
    pointer_grabbed_ = XGrabPointer(display_, window_, False, kPointerGrabEvents, GrabModeAsync,
                                    GrabModeAsync, None, None, CurrentTime) == GrabSuccess;
  }
  if (!keyboard_grabbed_) {
    keyboard_grabbed_ = XGrabKeyboard(display_, window_, True, GrabModeAsync, GrabModeAsync,
                                      CurrentTime) == GrabSuccess;
  }
}

void X11Platform::RetryGrabs() {
  const bool retrying = NowNs() < grab_retry_end_;
  if (retrying || ticks_due_ % kGrabRetryEveryTicks == 0) TryGrabs();
  if (pointer_grabbed_ && keyboard_grabbed_) return;
  if (!retrying && !grab_reported_) {
    grab_reported_ = true;
    const char* what = !pointer_grabbed_ && !keyboard_grabbed_ ? "the pointer and the keyboard"
                       : !pointer_grabbed_                     ? "the pointer"
                                                               : "the keyboard";
    std::fprintf(stderr,
                 "ostrel: cannot grab %s, another program holds the grab; the run still ends "
                 "on their use\n",
                 what);
  }
  WatchInput();
}

void X11Platform::WatchInput() {
  // Another client holds a grab: its events go there, not here. What the
  // pointer and keyboard show is still readable, at every tick; a change is
  // the user's activity.
  if (!pointer_grabbed_) {
    Window root = 0;
    Window child = 0;
    int root_x = 0;
    int root_y = 0;
    int x = 0;
    int y = 0;
    unsigned int mask = 0;
    if (XQueryPointer(display_, window_, &root, &child, &root_x, &root_y, &x, &y, &mask) != 0) {
      constexpr unsigned int kButtons =
          Button1Mask | Button2Mask | Button3Mask | Button4Mask | Button5Mask;
      const unsigned int buttons = mask & kButtons;
      const bool first = !pointer_seen_;
      const unsigned int pressed = first ? 0U : buttons & ~pointer_buttons_;
      const unsigned int released = first ? 0U : pointer_buttons_ & ~buttons;
      const bool moved = first || x != pointer_x_ || y != pointer_y_;
      pointer_seen_ = true;
      pointer_x_ = x;
      pointer_y_ = y;
      pointer_buttons_ = buttons;
      // The button whose mask bit is lowest among those that changed.
      const auto button_of = [](unsigned int bits) {
        return static_cast<unsigned int>(std::countr_zero(bits)) - 7U;  // Button1Mask is 1 << 8
      };
      if (moved) {
        events_->Form_MouseMove(ButtonsHeld(mask), ShiftOf(mask), Twips(x), Twips(y));
      }
      if (loaded_ && pressed != 0) {
        events_->Form_MouseDown(ButtonOf(button_of(pressed)), ShiftOf(mask), Twips(x), Twips(y));
      } else if (loaded_ && released != 0) {
        events_->Form_MouseUp(ButtonOf(button_of(released)), ShiftOf(mask), Twips(x), Twips(y));
      }
    }
  }
  if (loaded_ && !keyboard_grabbed_) {
    char keys[32] = {};
    XQueryKeymap(display_, keys);
    int pressed = -1;
    for (int i = 0; i < 32 && keys_seen_ && pressed < 0; ++i) {
      const auto down = static_cast<unsigned char>(keys[i] & ~keys_[i]);
      if (down != 0) pressed = i * 8 + std::countr_zero(down);
    }
    std::memcpy(keys_, keys, sizeof keys_);
    keys_seen_ = true;
    // A key already held when the window appeared is not new; one pressed since is.
    if (pressed >= 0) events_->Form_KeyDown(pressed, 0);
  }
}

void X11Platform::UnloadForm() {
  if (!loaded_) return;
  loaded_ = false;
  shown_ = false;
  exposed_.clear();
  if (pointer_grabbed_) XUngrabPointer(display_, CurrentTime);
  if (keyboard_grabbed_) XUngrabKeyboard(display_, CurrentTime);
  pointer_grabbed_ = keyboard_grabbed_ = false;
  XDestroyWindow(display_, window_);
  window_ = 0;
  XFlush(display_);
}

void X11Platform::KeybdEvent(std::uint8_t virtual_key, std::uint8_t /*scan_code*/,
                             std::uint32_t flags, std::uintptr_t /*extra_info*/) {
  // The Print Screen key-down copies the whole screen to the clipboard. No other
  // key is ever synthesised.
  if (!IsSnapshotKeyDown(virtual_key, flags)) return;
  if (!surface_) throw PlatformError("the screen is copied into the window, which does not exist");
  CaptureRoot(display_, screen_, frame_shm_.get(), surface_->Frame());
  FrameIsBackground();
  // The clipboard's picture is the frame itself, later drawn on: its PNG is
  // encoded, when someone asks, from the frame with the circles still shown
  // erased for the time of the encoding (and drawn again after).
  clipboard_->Own(FramePicture(), [this](const std::function<void(const Image&)>& use) {
    surface_->WithBackground(use);
  });
  ThrowIfXErrorPending();
}

void X11Platform::DoEvents() { ProcessPending(); }

Picture X11Platform::ClipboardPicture() { return clipboard_->Read(kClipboardReadTimeout); }

Picture X11Platform::CaptureScreen() {
  if (!surface_) throw PlatformError("the screen is copied into the window, which does not exist");
  CaptureRoot(display_, screen_, frame_shm_.get(), surface_->Frame());
  FrameIsBackground();
  return FramePicture();
}

void X11Platform::SetPicture(Picture picture) {
  // The frame's own picture (the screen copied into it) is not copied again.
  if (picture) {
    surface_->SetBackground(*picture);
  } else {
    surface_->Frame().Fill(0);
    FrameIsBackground();
  }
  // Not shown yet, the window presents the whole frame when it is exposed.
  surface_->ClearDirtyRects();
  if (shown_) exposed_.push_back({0, 0, width_, height_});
}

Picture X11Platform::FramePicture() const {
  Image& frame = surface_->Frame();
  return std::make_shared<const Image>(frame.Row(0), frame.Width(), frame.Height(), frame.Stride(),
                                       frame_owner_);
}

void X11Platform::FrameIsBackground() {
  surface_->SetBackground(surface_->Frame());
  surface_->ClearDirtyRects();
}

float X11Platform::ScreenWidthTwips() { return Twips(width_); }

float X11Platform::ScreenHeightTwips() { return Twips(height_); }

int X11Platform::ShowCursor(bool show) {
  cursor_counter_ += show ? 1 : -1;
  SetCursorHidden(cursor_counter_ < 0);
  return cursor_counter_;
}

void X11Platform::SetCursorHidden(bool hidden) {
  if (hidden == cursor_hidden_) return;
  cursor_hidden_ = hidden;
  if (has_xfixes_) {
    // Hides it everywhere; the server shows it again if the program dies.
    if (hidden) {
      XFixesHideCursor(display_, root_);
    } else {
      XFixesShowCursor(display_, root_);
    }
  } else if (window_ != 0) {
    // Without XFixes: a blank cursor over the window, which covers the screen.
    if (blank_cursor_ == 0) {
      const char empty[1] = {0};
      const Pixmap pixmap = XCreateBitmapFromData(display_, window_, empty, 1, 1);
      XColor black{};
      blank_cursor_ = XCreatePixmapCursor(display_, pixmap, pixmap, &black, &black, 0, 0);
      XFreePixmap(display_, pixmap);
    }
    if (hidden) {
      XDefineCursor(display_, window_, blank_cursor_);
    } else {
      XUndefineCursor(display_, window_);
    }
  }
  XFlush(display_);
}

DrawingSurface& X11Platform::Surface() { return *surface_; }

void X11Platform::ReportError(std::string_view message) {
  std::fprintf(stderr, "ostrel: %.*s\n", static_cast<int>(message.size()), message.data());
}

std::int64_t X11Platform::NextDeadline() const { return timer_start_ + ticks_due_ * kTickPeriodNs; }

void X11Platform::RunMessageLoop() {
  const int x_fd = ConnectionNumber(display_);
  while (loaded_) {
    // Sleep until the next tick, an X event or a signal; when a tick is due
    // already, or events wait in Xlib's queue (where poll cannot see them),
    // only look without sleeping, so that signals and input are never starved
    // by ticks that run late. Whatever was sent is flushed already: by
    // XPending, by the tick, and by the handlers that end the run.
    const bool queued = XQLength(display_) > 0;
    std::int64_t wait = std::max<std::int64_t>(NextDeadline() - NowNs(), 0);
    if (queued || !exposed_.empty()) wait = 0;
    pollfd fds[2] = {{x_fd, POLLIN, 0}, {EndSignalFd(), POLLIN, 0}};
    const timespec timeout{wait / 1'000'000'000, wait % 1'000'000'000};
    if (ppoll(fds, 2, &timeout, nullptr) < 0 && errno != EINTR) {
      throw PlatformError(std::string("waiting for events failed: ") + std::strerror(errno));
    }
    if (fds[1].revents != 0 && DrainEndSignals()) events_->Form_SystemClose();
    if (loaded_ && (queued || fds[0].revents != 0)) DispatchXEvents();
    if (loaded_ && NowNs() >= NextDeadline()) Tick();
    if (loaded_ && !exposed_.empty()) PaintExposedBand();
    ThrowIfXErrorPending();
  }
}

void X11Platform::DispatchXEvents() {
  while (loaded_ && XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    Dispatch(event);
    ThrowIfXErrorPending();
  }
}

void X11Platform::ProcessPending() {
  DispatchXEvents();
  if (loaded_ && DrainEndSignals()) events_->Form_SystemClose();
  if (loaded_ && NowNs() >= NextDeadline()) Tick();
  ThrowIfXErrorPending();
}

void X11Platform::Tick() {
  // Tick n is due at a fixed time from the start, so late wake-ups never add up
  // to drift. After a long stall the missed ticks are dropped, not replayed in
  // a burst.
  const std::int64_t now = NowNs();
  ++ticks_due_;
  if (NextDeadline() <= now) ticks_due_ = (now - timer_start_) / kTickPeriodNs + 1;

  events_->Timer1_Timer();
  if (loaded_) PresentDirty();
  if (loaded_ && shown_ && (!pointer_grabbed_ || !keyboard_grabbed_)) RetryGrabs();
}

void X11Platform::Dispatch(const XEvent& event) {
  if (clipboard_->HandleEvent(event)) return;
  if (event.xany.window != window_ || window_ == 0) return;
  switch (event.type) {
    case Expose:
      if (shown_) {
        exposed_.push_back(
            {event.xexpose.x, event.xexpose.y, event.xexpose.width, event.xexpose.height});
      }
      break;
    case KeyPress:
      events_->Form_KeyDown(static_cast<int>(event.xkey.keycode), ShiftOf(event.xkey.state));
      break;
    case ButtonPress:
      events_->Form_MouseDown(ButtonOf(event.xbutton.button), ShiftOf(event.xbutton.state),
                              Twips(event.xbutton.x), Twips(event.xbutton.y));
      break;
    case ButtonRelease:
      events_->Form_MouseUp(ButtonOf(event.xbutton.button), ShiftOf(event.xbutton.state),
                            Twips(event.xbutton.x), Twips(event.xbutton.y));
      break;
    case MotionNotify:
      events_->Form_MouseMove(ButtonsHeld(event.xmotion.state), ShiftOf(event.xmotion.state),
                              Twips(event.xmotion.x), Twips(event.xmotion.y));
      break;
    case EnterNotify:
      // The window appearing under the pointer reports where the pointer is.
      // Crossings caused by grabs report nothing new.
      if (event.xcrossing.mode == NotifyNormal) {
        events_->Form_MouseMove(ButtonsHeld(event.xcrossing.state), ShiftOf(event.xcrossing.state),
                                Twips(event.xcrossing.x), Twips(event.xcrossing.y));
      }
      break;
    default:
      break;
  }
}

void X11Platform::Put(int x, int y, int width, int height) {
  if (frame_shm_) {
    // No completion event is asked for: waiting for one would cost a wake-up
    // a tick. The server copies the rectangles long before the next tick draws,
    // and should it ever lag, every pixel a tick changes is in that tick's
    // rectangles and is sent again, so the window always ends up right.
    XShmPutImage(display_, window_, gc_, frame_shm_->image(), x, y, x, y,
                 static_cast<unsigned>(width), static_cast<unsigned>(height), False);
  } else {
    XPutImage(display_, window_, gc_, frame_image_, x, y, x, y, static_cast<unsigned>(width),
              static_cast<unsigned>(height));
  }
}

void X11Platform::PaintExposedBand() {
  // The server copies one request without handling input in between: a whole
  // huge screen at once (a gigabyte at 16384x16384) would hold the user's
  // first move for seconds. One band of rows, then the loop looks at input
  // again; the sync makes this band done before the next one is sent.
  Rect& rect = exposed_.back();
  const auto row_bytes = static_cast<std::size_t>(std::max(rect.width, 1)) * 4;
  const int rows = std::clamp(static_cast<int>(kPaintBandBytes / row_bytes), 1, rect.height);
  if (rect.width > 0 && rows > 0) Put(rect.x, rect.y, rect.width, rows);
  rect.y += rows;
  rect.height -= rows;
  if (rect.height <= 0 || rect.width <= 0) exposed_.pop_back();
  XSync(display_, False);
}

void X11Platform::PresentDirty() {
  if (!shown_) return;  // the Expose after mapping shows everything
  for (const Rect& rect : surface_->DirtyRects()) Put(rect.x, rect.y, rect.width, rect.height);
  surface_->ClearDirtyRects();
  XFlush(display_);
}

}  // namespace ostrel
