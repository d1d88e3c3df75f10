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
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/x11/x11_capture.h"
#include "platform/x11/x11_clipboard.h"
#include "platform/x11/x11_errors.h"

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
constexpr std::int64_t kGrabTimeoutNs = 500'000'000;

std::int64_t NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// SIGINT, SIGTERM and SIGHUP end the run as user input does. The handler only
// writes to a pipe that the event loop watches.
int signal_pipe[2] = {-1, -1};

extern "C" void OnEndSignal(int /*signal*/) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const auto written = write(signal_pipe[1], &byte, 1);
  errno = saved;
}

void InstallSignalHandlers() {
  if (signal_pipe[0] < 0) {
    if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
      throw PlatformError(std::string("cannot create a pipe: ") + std::strerror(errno));
    }
  }
  struct sigaction action {};
  action.sa_handler = OnEndSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(signal_number, &action, nullptr);
  }
}

// After the run a signal ends the program at once, as it normally would.
void RestoreSignalHandlers() {
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) signal(signal_number, SIG_DFL);
}

bool DrainSignals() {
  char buffer[64];
  bool any = false;
  while (read(signal_pipe[0], buffer, sizeof buffer) > 0) any = true;
  return any;
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
  InstallSignalHandlers();
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
}

X11Platform::~X11Platform() {
  if (loaded_) {
    try {
      UnloadForm();
    } catch (...) {
    }
  }
  // Everything in shared memory must let go while the display is still open.
  surface_.reset();
  frame_shm_.reset();
  background_.reset();
  screen_copy_ = {};
  if (frame_image_ != nullptr) {
    frame_image_->data = nullptr;  // the pixels belong to the surface's frame
    XDestroyImage(frame_image_);
  }
  if (gc_ != nullptr) XFreeGC(display_, gc_);
  if (blank_cursor_ != 0) XFreeCursor(display_, blank_cursor_);
  clipboard_.reset();
  XCloseDisplay(display_);
}

void X11Platform::FinishRun() {
  RestoreSignalHandlers();
  if (clipboard_->Owned()) clipboard_->HandOffToManager(kClipboardHandOffTimeout);
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

  // The frame: in shared memory when the server has it, so presenting a tick
  // copies nothing through the socket.
  Image frame;
  if (has_shm_) {
    frame_shm_ = ShmImage::Create(display_, DefaultVisual(display_, screen_),
                                  DefaultDepth(display_, screen_), width_, height_);
  }
  if (frame_shm_) {
    frame = ShmImage::View(frame_shm_);
  } else {
    frame = Image(width_, height_);
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
  GrabKeyboard();
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

void X11Platform::GrabKeyboard() {
  // Another client holding the focus would otherwise get the keys. A grab can
  // be refused for a moment while someone else holds one; keep asking briefly.
  const std::int64_t give_up = NowNs() + kGrabTimeoutNs;
  while (XGrabKeyboard(display_, window_, True, GrabModeAsync, GrabModeAsync, CurrentTime) !=
         GrabSuccess) {
    if (NowNs() >= give_up) return;  // pointer input still ends the run
    const timespec pause{0, 5'000'000};
    nanosleep(&pause, nullptr);
  }
}

void X11Platform::UnloadForm() {
  if (!loaded_) return;
  loaded_ = false;
  shown_ = false;
  XUngrabKeyboard(display_, CurrentTime);
  XDestroyWindow(display_, window_);
  window_ = 0;
  XFlush(display_);
}

void X11Platform::KeybdEvent(std::uint8_t virtual_key, std::uint8_t /*scan_code*/,
                             std::uint32_t flags, std::uintptr_t /*extra_info*/) {
  constexpr std::uint32_t kKeyUp = 0x0002;
  // The Print Screen key-down copies the whole screen to the clipboard. No other
  // key is ever synthesised.
  if (virtual_key != kVirtualKeySnapshot || (flags & kKeyUp) != 0) return;
  screen_copy_ = CaptureRoot(display_, screen_, has_shm_);
  clipboard_->Own(screen_copy_.picture);
  ThrowIfXErrorPending();
}

void X11Platform::DoEvents() { ProcessPending(); }

Picture X11Platform::ClipboardPicture() { return clipboard_->Read(kClipboardReadTimeout); }

Picture X11Platform::CaptureScreen() {
  screen_copy_ = CaptureRoot(display_, screen_, has_shm_);
  return screen_copy_.picture;
}

void X11Platform::SetPicture(Picture picture) {
  background_ = std::move(picture);
  // Until something is drawn the window shows the picture unchanged, and the
  // screen copy, already in shared memory, can be shown as it is. Filling the
  // frame waits until the first drawing, after the window is on the screen.
  frame_stale_ = true;
  if (!ShowsScreenCopy()) EnsureFrame();
}

bool X11Platform::ShowsScreenCopy() const {
  return frame_stale_ && background_ && screen_copy_.shm && background_ == screen_copy_.picture;
}

void X11Platform::EnsureFrame() {
  if (!frame_stale_) return;
  if (frame_shm_) frame_shm_->Populate();
  if (background_) {
    surface_->SetBackground(*background_);
  } else {
    surface_->Frame().Fill(0);
  }
  frame_stale_ = false;
  // The window already shows this picture.
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

DrawingSurface& X11Platform::Surface() {
  EnsureFrame();
  return *surface_;
}

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
    if (queued) wait = 0;
    pollfd fds[2] = {{x_fd, POLLIN, 0}, {signal_pipe[0], POLLIN, 0}};
    const timespec timeout{wait / 1'000'000'000, wait % 1'000'000'000};
    if (ppoll(fds, 2, &timeout, nullptr) < 0 && errno != EINTR) {
      throw PlatformError(std::string("waiting for events failed: ") + std::strerror(errno));
    }
    if (fds[1].revents != 0 && DrainSignals()) events_->Form_SystemClose();
    if (loaded_ && (queued || fds[0].revents != 0)) DispatchXEvents();
    if (loaded_ && NowNs() >= NextDeadline()) Tick();
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
  if (loaded_ && DrainSignals()) events_->Form_SystemClose();
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
}

void X11Platform::Dispatch(const XEvent& event) {
  if (clipboard_->HandleEvent(event)) return;
  if (event.xany.window != window_ || window_ == 0) return;
  switch (event.type) {
    case Expose:
      if (shown_) {
        Put(event.xexpose.x, event.xexpose.y, event.xexpose.width, event.xexpose.height);
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
  ShmImage* source = ShowsScreenCopy() ? screen_copy_.shm.get() : frame_shm_.get();
  if (source != nullptr) {
    // No completion event is asked for: waiting for one would cost a wake-up
    // a tick. The server copies the rectangles long before the next tick draws,
    // and should it ever lag, every pixel a tick changes is in that tick's
    // rectangles and is sent again, so the window always ends up right.
    XShmPutImage(display_, window_, gc_, source->image(), x, y, x, y, static_cast<unsigned>(width),
                 static_cast<unsigned>(height), False);
  } else {
    XPutImage(display_, window_, gc_, frame_image_, x, y, x, y, static_cast<unsigned>(width),
              static_cast<unsigned>(height));
  }
}

void X11Platform::PresentDirty() {
  if (!shown_) return;  // the Expose after mapping shows everything
  for (const Rect& rect : surface_->DirtyRects()) Put(rect.x, rect.y, rect.width, rect.height);
  surface_->ClearDirtyRects();
  XFlush(display_);
}

}  // namespace ostrel
