#include "platform/x11/x11_platform.h"

#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/posix/end_signals.h"
#include "platform/posix/warning.h"
#include "platform/x11/x11_capture.h"
#include "platform/x11/x11_clipboard.h"
#include "platform/x11/x11_errors.h"

namespace ostrel {
namespace {

constexpr long kWindowEvents = ExposureMask | KeyPressMask | ButtonPressMask | ButtonReleaseMask |
                               PointerMotionMask | EnterWindowMask | StructureNotifyMask;

constexpr std::chrono::milliseconds kClipboardReadTimeout{1000};
constexpr std::chrono::milliseconds kClipboardHandOffTimeout{3000};
constexpr auto kMapPatience = std::chrono::seconds(2);

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

}  // namespace

std::unique_ptr<X11Platform> X11Platform::Open() {
  const char* name = std::getenv("DISPLAY");
  const std::string shown = name != nullptr ? name : "";
  // Nothing is on the screen yet, so a server that never answers can simply
  // be left: the watchdog ends the process with a message and status 1.
  char seconds[16];
  std::snprintf(seconds, sizeof seconds, "%.1f",
                std::chrono::duration<double>(kDisplayServerPatience).count());
  const std::string silent = "the X server of display \"" + shown +
                             "\" accepted the connection but did not answer within " + seconds +
                             " s";
  const Watchdog watchdog(static_cast<unsigned>(kDisplayServerPatience.count()), silent.c_str());
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    throw NoDisplayServer("cannot open display \"" + shown + "\"" +
                          (shown.empty() ? " (DISPLAY is not set)" : ""));
  }
  try {
    return std::unique_ptr<X11Platform>(new X11Platform(display));
  } catch (...) {
    XCloseDisplay(display);
    throw;
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
  // From here on the event loop takes the ending signals, first of all.
  signals_watch_ = WatchEndSignals(waiter_);
  QueueEndSignals();
  x_watch_ = waiter_.Add(Waiter::Source::kDisplay,
                         {.fd = ConnectionNumber(display),
                          // What was asked of the server goes out before
                          // the program sleeps.
                          .prepare =
                              [this] {
                                XFlush(display_);
                                return static_cast<short>(POLLIN);
                              },
                          // Events waiting in Xlib's queue, where poll cannot
                          // see them, are handled without sleeping.
                          .due = [this]() -> std::optional<TimePoint> {
                            if (XQLength(display_) > 0) return Clock::now();
                            return std::nullopt;
                          },
                          .ready = [this](short) {
                            if (gate_.IsOpen()) DispatchXEvents();
                          }});
}

X11Platform::~X11Platform() {
  if (gate_.IsOpen()) {
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
    Warn(std::string("the clipboard could not be handed over: ") + failure.what());
  }
}

float X11Platform::Twips(int pixels) const { return static_cast<float>(pixels * twips_per_pixel_); }

void X11Platform::CreateForm(std::string_view caption, int /*timer_interval_ms*/,
                             WindowEvents& events) {
  gate_.Open(events);
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

  // The one frame, which the screen is copied into and the trails drawn on.
  CreateFrame();

  timer_.Start(Clock::now());
  ThrowIfXErrorPending();
}

void X11Platform::ShowForm() {
  if (!gate_.IsOpen()) return;  // a signal during the start-up's yield already ended the run
  XMapRaised(display_, window_);
  WaitForMap();
  shown_ = true;
  StartGrabs();
  gate_.RethrowFailure();
  // The Expose that follows the map presents the frame; anything drawn before
  // it is part of that.
  surface_->ClearDirtyRects();
  XFlush(display_);
  ThrowIfXErrorPending();
}

void X11Platform::WaitForMap() {
  // Only the map is looked for: the events before it stay queued for the
  // loop.
  Waiter waiter;
  const Waiter::Registration x = waiter.Add(
      Waiter::Source::kDisplay, {.fd = ConnectionNumber(display_), .ready = [](short) {}});
  XEvent event;
  const auto is_map = [](Display*, XEvent* e, XPointer arg) -> Bool {
    return e->type == MapNotify && e->xmap.window == *reinterpret_cast<Window*>(arg);
  };
  const auto mapped = [&] {
    return XCheckIfEvent(display_, &event, is_map, reinterpret_cast<XPointer>(&window_)) == True;
  };
  if (waiter.WaitUntil(mapped, Clock::now() + kMapPatience) != Waiter::End::kDone) {
    throw PlatformError("the window did not appear");
  }
}

void X11Platform::UnloadForm() {
  if (!gate_.IsOpen()) return;
  gate_.Close();
  shown_ = false;
  exposed_.clear();
  ReleaseGrabs();
  XDestroyWindow(display_, window_);
  window_ = 0;
  XFlush(display_);
}

Picture X11Platform::ClipboardPicture() { return clipboard_->Read(kClipboardReadTimeout); }

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

void X11Platform::ReportError(std::string_view message) { Warn(message); }

}  // namespace ostrel
