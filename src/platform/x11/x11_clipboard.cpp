#include "platform/x11/x11_clipboard.h"

#include <X11/Xatom.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "platform/platform_error.h"
#include "platform/posix/waiter.h"
#include "platform/x11/x11_clipboard_state.h"

namespace ostrel {
namespace {

// Picture data above this size goes by INCR even when one request could carry
// it, so that large pictures never make the server buffer one huge request.
constexpr std::size_t kIncrAbove = std::size_t{1} << 20;
// The size of each INCR chunk.
constexpr std::size_t kChunkSize = 256 * 1024;
// Room left in a request for its header when filling it with property data.
constexpr std::size_t kRequestHeadroom = 1024;
// How long we wait for the server to report the timestamp of a property change.
constexpr auto kServerTimeWait = std::chrono::seconds(5);

constexpr const char* kAtomNames[kAtomCount] = {
    "CLIPBOARD",        "TARGETS",           "TIMESTAMP",
    "MULTIPLE",         "ATOM_PAIR",         "INCR",
    "image/png",        "CLIPBOARD_MANAGER", "SAVE_TARGETS",
    "OSTREL_CLIPBOARD", "OSTREL_TIME",       "OSTREL_SAVE_TARGETS"};

std::array<Atom, kAtomCount> InternAtoms(Display* display) {
  char* names[kAtomCount];
  for (std::size_t i = 0; i < kAtomCount; ++i) names[i] = const_cast<char*>(kAtomNames[i]);
  std::array<Atom, kAtomCount> atoms{};
  XInternAtoms(display, names, static_cast<int>(kAtomCount), False, atoms.data());
  return atoms;
}

// The most property data one request to this server carries.
std::size_t DirectLimit(Display* display) {
  long max_units = XExtendedMaxRequestSize(display);
  if (max_units == 0) max_units = XMaxRequestSize(display);
  const auto max_bytes = static_cast<std::size_t>(max_units) * 4;
  const std::size_t limit = max_bytes > 2 * kRequestHeadroom ? max_bytes - kRequestHeadroom : 4096;
  return std::min(limit, kIncrAbove);
}

}  // namespace

X11Clipboard::State::State(Display* d, Window w, const PixelFormat& f)
    : display(d),
      window(w),
      format(f),
      atoms(InternAtoms(d)),
      direct_limit(DirectLimit(d)),
      png(f),
      transfers(d, w, atoms[kIncr], std::min(kChunkSize, direct_limit)) {}

bool X11Clipboard::State::Wanted(const XEvent& event) const {
  if (event.type == GenericEvent) return false;
  if (event.xany.window == window) return true;
  return transfers.Wants(event);
}

Bool X11Clipboard::State::IsWanted(Display*, XEvent* event, XPointer state) {
  return reinterpret_cast<const State*>(state)->Wanted(*event) ? True : False;
}

void X11Clipboard::State::Dispatch(const XEvent& event) {
  switch (event.type) {
    case SelectionRequest:
      ServeRequest(event.xselectionrequest);
      break;
    case SelectionClear:
      // A clear from before our latest Own must not end that ownership: ask
      // the server who owns the clipboard now.
      if (event.xselectionclear.selection == atom(kClipboard) && owned &&
          XGetSelectionOwner(display, atom(kClipboard)) != window) {
        owned = false;
        png.Clear();  // transfers under way keep their own reference
      }
      break;
    case PropertyNotify:
    case DestroyNotify:
      transfers.Handle(event);
      break;
    default:
      break;  // replies nobody waits for any more
  }
  transfers.DropStalled();
}

bool X11Clipboard::State::Pump(TimePoint deadline,
                               const std::function<bool(const XEvent&)>& awaited, XEvent* out) {
  // Only the connection: the clipboard's waits are short and end with their
  // deadline.
  Waiter waiter;
  bool lost = false;
  const Waiter::Registration connection = waiter.Add(
      Waiter::Source::kDisplay, {.fd = ConnectionNumber(display),
                                 .prepare =
                                     [this] {
                                       XFlush(display);
                                       return static_cast<short>(POLLIN);
                                     },
                                 .ready = [&lost](short revents) {
                                   lost = (revents & (POLLERR | POLLNVAL)) != 0;
                                 }});
  bool got = false;
  const auto arrived = [&] {
    XEvent event;
    while (XCheckIfEvent(display, &event, &State::IsWanted, reinterpret_cast<XPointer>(this))) {
      if (awaited(event)) {
        *out = event;
        got = true;
        return true;
      }
      Dispatch(event);
    }
    transfers.DropStalled();
    return lost;
  };
  waiter.WaitUntil(arrived, deadline);
  return got;
}

Time X11Clipboard::State::ServerTime() {
  XChangeProperty(display, window, atom(kTimeProperty), XA_INTEGER, 8, PropModeAppend, nullptr, 0);
  XEvent event;
  const bool got = Pump(
      Clock::now() + kServerTimeWait,
      [&](const XEvent& e) {
        return e.type == PropertyNotify && e.xproperty.window == window &&
               e.xproperty.atom == atom(kTimeProperty) && e.xproperty.state == PropertyNewValue;
      },
      &event);
  if (!got) throw PlatformError("the X server did not report a timestamp for the clipboard");
  return event.xproperty.time;
}

X11Clipboard::X11Clipboard(Display* display, const PixelFormat& format) : display_(display) {
  XSetWindowAttributes attributes{};
  attributes.event_mask = PropertyChangeMask;
  attributes.override_redirect = True;
  window_ = XCreateWindow(display, DefaultRootWindow(display), -10, -10, 1, 1, 0, 0, InputOnly,
                          CopyFromParent, CWEventMask | CWOverrideRedirect, &attributes);
  if (window_ == None) throw PlatformError("cannot create the clipboard's window");
  state_ = std::make_unique<State>(display, window_, format);
}

X11Clipboard::~X11Clipboard() {
  // The requestors' windows get their event masks back first.
  state_.reset();
  // Destroying the window also gives up CLIPBOARD if we still own it.
  XDestroyWindow(display_, window_);
  XFlush(display_);
}

void X11Clipboard::Own(Picture picture, PictureLender lend) {
  if (picture == nullptr || picture->Empty()) {
    throw PlatformError("there is no picture to put on the clipboard");
  }
  const Time time = state_->ServerTime();
  const Atom clipboard = state_->atom(kClipboard);
  XSetSelectionOwner(display_, clipboard, window_, time);
  if (XGetSelectionOwner(display_, clipboard) != window_) {
    throw PlatformError("the X server did not give us the clipboard");
  }
  state_->owned = true;
  state_->owned_since = time;
  state_->png.Reset(std::move(picture), std::move(lend));
}

Picture X11Clipboard::Read(std::chrono::milliseconds timeout) {
  if (state_->owned) return state_->png.picture();
  return state_->ReadOther(timeout);
}

bool X11Clipboard::HandleEvent(const XEvent& event) {
  if (!state_->Wanted(event)) return false;
  state_->Dispatch(event);
  return true;
}

bool X11Clipboard::Owned() const { return state_->owned; }

}  // namespace ostrel
