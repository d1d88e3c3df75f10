#include "platform/x11/x11_clipboard.h"

#include <X11/Xatom.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <functional>
#include <optional>

#include "platform/platform.h"
#include "platform/png_codec.h"

namespace ostrel {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// Picture data above this size goes by INCR even when one request could carry
// it, so that large pictures never make the server buffer one huge request.
constexpr std::size_t kIncrAbove = std::size_t{1} << 20;
// The size of each INCR chunk.
constexpr std::size_t kChunkSize = 256 * 1024;
// Room left in a request for its header when filling it with property data.
constexpr std::size_t kRequestHeadroom = 1024;
// An INCR transfer whose requestor has not asked for the next chunk in this
// long is abandoned.
constexpr auto kTransferStall = std::chrono::seconds(10);
// How long we wait for the server to report the timestamp of a property change.
constexpr auto kServerTimeWait = std::chrono::seconds(5);
// The most picture data we accept from another owner.
constexpr std::size_t kMaxIncoming = std::size_t{256} << 20;
// The most atom pairs we convert for one MULTIPLE request.
constexpr unsigned long kMaxMultiplePairs = 256;

enum AtomIndex : std::size_t {
  kClipboard,
  kTargets,
  kTimestamp,
  kMultiple,
  kAtomPair,
  kIncr,
  kImagePng,
  kClipboardManager,
  kSaveTargets,
  kDataProperty,
  kTimeProperty,
  kSaveProperty,
  kAtomCount
};

constexpr const char* kAtomNames[kAtomCount] = {
    "CLIPBOARD",        "TARGETS",           "TIMESTAMP",
    "MULTIPLE",         "ATOM_PAIR",         "INCR",
    "image/png",        "CLIPBOARD_MANAGER", "SAVE_TARGETS",
    "OSTREL_CLIPBOARD", "OSTREL_TIME",       "OSTREL_SAVE_TARGETS"};

// Whether server time `a` is earlier than `b`; X times are 32-bit milliseconds
// that wrap around.
bool TimeBefore(Time a, Time b) {
  const auto difference = static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b);
  return static_cast<std::int32_t>(difference) < 0;
}

struct XFreeDeleter {
  void operator()(unsigned char* data) const {
    if (data != nullptr) XFree(data);
  }
};
using XData = std::unique_ptr<unsigned char, XFreeDeleter>;

// Catches the X errors of the requests made while it lives, instead of letting
// Xlib's default handler end the program: requestor windows can disappear at
// any moment. Errors of earlier requests still go to the previous handler.
// Single-threaded, like the rest of the clipboard.
class ErrorTrap {
 public:
  explicit ErrorTrap(Display* display)
      : display_(display), first_serial_(NextRequest(display)), outer_(active_) {
    previous_ = XSetErrorHandler(&ErrorTrap::Handle);
    active_ = this;
  }
  ~ErrorTrap() {
    // Every request made under the trap must have been answered before the
    // previous handler comes back.
    if (LastKnownRequestProcessed(display_) + 1 < NextRequest(display_)) XSync(display_, False);
    XSetErrorHandler(previous_);
    active_ = outer_;
  }
  ErrorTrap(const ErrorTrap&) = delete;
  ErrorTrap& operator=(const ErrorTrap&) = delete;

  // Waits until the server has processed every request so far and tells
  // whether any of those made under the trap failed.
  bool Failed() {
    XSync(display_, False);
    return error_code_ != 0;
  }

 private:
  static int Handle(Display* display, XErrorEvent* error) {
    ErrorTrap* outermost = nullptr;
    for (ErrorTrap* trap = active_; trap != nullptr; trap = trap->outer_) {
      if (trap->display_ == display && error->serial >= trap->first_serial_) {
        trap->error_code_ = error->error_code;
        return 0;
      }
      outermost = trap;
    }
    XErrorHandler previous = outermost != nullptr ? outermost->previous_ : nullptr;
    return previous != nullptr ? previous(display, error) : 0;
  }

  static inline ErrorTrap* active_ = nullptr;
  Display* display_;
  unsigned long first_serial_;
  ErrorTrap* outer_;
  XErrorHandler previous_ = nullptr;
  int error_code_ = 0;
};

// One property's worth of data read from a window.
struct Property {
  Atom type = None;
  int format = 0;
  unsigned long items = 0;
  XData data;
};

}  // namespace

struct X11Clipboard::State {
  // An outgoing INCR transfer: the picture's bytes sent chunk by chunk into
  // `property` on `requestor`, each chunk after the requestor deleted the last.
  struct Transfer {
    Window requestor = None;
    Atom property = None;
    Atom type = None;
    std::shared_ptr<const Bytes> data;
    std::size_t offset = 0;
    // The zero-length chunk that ends the transfer is written; we wait for its
    // deletion only to stop watching the window cleanly.
    bool final_sent = false;
    Clock::time_point last_activity;
  };
  // A requestor window whose property changes and destruction we watch, and
  // the event mask we had on it before. A destroyed window must be forgotten at
  // once: the server gives its id to the next client's window.
  struct Watched {
    Window window = None;
    long previous_mask = 0;
  };

  State(Display* d, Window w, const PixelFormat& f) : display(d), window(w), format(f) {
    char* names[kAtomCount];
    for (std::size_t i = 0; i < kAtomCount; ++i) names[i] = const_cast<char*>(kAtomNames[i]);
    XInternAtoms(display, names, static_cast<int>(kAtomCount), False, atoms);

    long max_units = XExtendedMaxRequestSize(display);
    if (max_units == 0) max_units = XMaxRequestSize(display);
    const auto max_bytes = static_cast<std::size_t>(max_units) * 4;
    direct_limit = max_bytes > 2 * kRequestHeadroom ? max_bytes - kRequestHeadroom : 4096;
    direct_limit = std::min(direct_limit, kIncrAbove);
    chunk_size = std::min(kChunkSize, direct_limit);
  }

  Atom atom(AtomIndex index) const { return atoms[index]; }

  Display* display;
  Window window;
  PixelFormat format;
  Atom atoms[kAtomCount] = {};
  std::size_t direct_limit = 0;
  std::size_t chunk_size = 0;

  bool owned = false;
  Time owned_since = CurrentTime;
  Picture picture;
  PictureLender lend;
  std::shared_ptr<const Bytes> png;
  std::vector<Transfer> transfers;
  std::vector<Watched> watched;

  // --- Events -------------------------------------------------------------------

  std::vector<Transfer>::iterator FindTransfer(Window requestor, Atom property) {
    return std::find_if(transfers.begin(), transfers.end(), [&](const Transfer& t) {
      return t.requestor == requestor && t.property == property;
    });
  }

  // Whether `event` is the clipboard's: anything on its window, property
  // changes of the INCR transfers it serves, and the end of their requestors.
  bool Wanted(const XEvent& event) const {
    if (event.type == GenericEvent) return false;
    if (event.xany.window == window) return true;
    if (event.type == DestroyNotify) {
      const XDestroyWindowEvent& destroyed = event.xdestroywindow;
      return destroyed.event == destroyed.window &&
             std::any_of(watched.begin(), watched.end(),
                         [&](const Watched& w) { return w.window == destroyed.window; });
    }
    if (event.type != PropertyNotify) return false;
    return std::any_of(transfers.begin(), transfers.end(), [&](const Transfer& t) {
      return t.requestor == event.xproperty.window && t.property == event.xproperty.atom;
    });
  }

  static Bool IsWanted(Display*, XEvent* event, XPointer state) {
    return reinterpret_cast<const State*>(state)->Wanted(*event) ? True : False;
  }

  void Dispatch(const XEvent& event) {
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
          picture.reset();
          lend = nullptr;
          png.reset();  // transfers under way keep their own reference
        }
        break;
      case PropertyNotify:
        if (event.xproperty.window != window) OnRequestorPropertyChange(event.xproperty);
        break;
      case DestroyNotify:
        if (event.xdestroywindow.window != window) ForgetRequestor(event.xdestroywindow.window);
        break;
      default:
        break;  // replies nobody waits for any more
    }
    DropStalledTransfers();
  }

  // Dispatches the clipboard's events until `awaited` accepts one (copied to
  // `out`) or `deadline` passes. Other clients' events stay queued for the
  // caller. Sleeps in poll() on the connection, never spins.
  bool Pump(Clock::time_point deadline, const std::function<bool(const XEvent&)>& awaited,
            XEvent* out) {
    for (;;) {
      XEvent event;
      while (XCheckIfEvent(display, &event, &State::IsWanted, reinterpret_cast<XPointer>(this))) {
        if (awaited(event)) {
          *out = event;
          return true;
        }
        Dispatch(event);
      }
      DropStalledTransfers();
      const auto now = Clock::now();
      if (now >= deadline) return false;
      XFlush(display);
      const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
      pollfd connection{ConnectionNumber(display), POLLIN, 0};
      const int ready =
          poll(&connection, 1, static_cast<int>(std::min<long long>(remaining, 1000)));
      if (ready < 0 && errno != EINTR) return false;
      if (ready > 0 && (connection.revents & (POLLERR | POLLNVAL)) != 0) return false;
    }
  }

  // A real server timestamp: the time of a zero-length append to a property of
  // our own window.
  Time ServerTime() {
    XChangeProperty(display, window, atom(kTimeProperty), XA_INTEGER, 8, PropModeAppend, nullptr,
                    0);
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

  // --- Serving requests -----------------------------------------------------------

  std::shared_ptr<const Bytes> Png() {
    if (png == nullptr && picture != nullptr) {
      try {
        if (lend) {
          lend([&](const Image& shown) {
            png = std::make_shared<const Bytes>(EncodePng(shown, format));
          });
        } else {
          png = std::make_shared<const Bytes>(EncodePng(*picture, format));
        }
      } catch (const std::exception&) {
        return nullptr;  // the request is refused; the next one tries again
      }
    }
    return png;
  }

  void ServeRequest(const XSelectionRequestEvent& request) {
    XEvent reply{};
    reply.xselection.type = SelectionNotify;
    reply.xselection.display = display;
    reply.xselection.requestor = request.requestor;
    reply.xselection.selection = request.selection;
    reply.xselection.target = request.target;
    reply.xselection.property = None;
    reply.xselection.time = request.time;

    // Obsolete requestors name no property and expect the target's name.
    const Atom property = request.property != None ? request.property : request.target;
    const bool current = owned && request.selection == atom(kClipboard) &&
                         (request.time == CurrentTime || !TimeBefore(request.time, owned_since));
    bool converted = false;
    if (current) {
      if (request.target == atom(kMultiple)) {
        converted = request.property != None && ConvertMultiple(request.requestor, property);
      } else {
        converted = ConvertChecked(request.requestor, request.target, property);
      }
    }
    if (converted) reply.xselection.property = property;

    ErrorTrap trap(display);
    XSendEvent(display, request.requestor, False, NoEventMask, &reply);
  }

  // Converts one target into `property` on `requestor`, and makes sure the
  // server accepted it: false when the requestor is gone or the write failed.
  bool ConvertChecked(Window requestor, Atom target, Atom property) {
    ErrorTrap trap(display);
    bool converted = Convert(requestor, target, property);
    if (trap.Failed()) {
      converted = false;
      const auto transfer = FindTransfer(requestor, property);
      if (transfer != transfers.end()) EndTransfer(transfer);
    }
    return converted;
  }

  bool Convert(Window requestor, Atom target, Atom property) {
    if (target == atom(kTargets)) {
      const Atom targets[] = {atom(kTargets), atom(kTimestamp), atom(kMultiple), atom(kSaveTargets),
                              atom(kImagePng)};
      XChangeProperty(display, requestor, property, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(targets),
                      static_cast<int>(std::size(targets)));
      return true;
    }
    if (target == atom(kTimestamp)) {
      const long time = static_cast<long>(owned_since);
      XChangeProperty(display, requestor, property, XA_INTEGER, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(&time), 1);
      return true;
    }
    if (target == atom(kImagePng)) {
      std::shared_ptr<const Bytes> data = Png();
      if (data == nullptr) return false;
      if (data->size() > direct_limit) return StartTransfer(requestor, property, target, data);
      XChangeProperty(display, requestor, property, target, 8, PropModeReplace, data->data(),
                      static_cast<int>(data->size()));
      return true;
    }
    return false;
  }

  // MULTIPLE: `property` on the requestor lists (target, property) pairs; each
  // is converted, and the pairs that fail get None as their property.
  bool ConvertMultiple(Window requestor, Atom property) {
    std::vector<Atom> pairs;
    Atom type = None;
    {
      ErrorTrap trap(display);
      Property list;
      unsigned long after = 0;
      unsigned char* data = nullptr;
      const int status = XGetWindowProperty(
          display, requestor, property, 0, static_cast<long>(kMaxMultiplePairs * 2), False,
          AnyPropertyType, &list.type, &list.format, &list.items, &after, &data);
      list.data.reset(data);
      if (trap.Failed() || status != Success || list.format != 32 || list.items == 0 ||
          list.items % 2 != 0 || after != 0) {
        return false;
      }
      const auto* listed = reinterpret_cast<const unsigned long*>(list.data.get());
      pairs.assign(listed, listed + list.items);
      type = list.type;
    }
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) {
      const Atom target = pairs[i];
      const Atom target_property = pairs[i + 1];
      const bool converted = target_property != None && target != atom(kMultiple) &&
                             ConvertChecked(requestor, target, target_property);
      if (!converted) pairs[i + 1] = None;
    }
    ErrorTrap trap(display);
    XChangeProperty(display, requestor, property, type, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(pairs.data()),
                    static_cast<int>(pairs.size()));
    return !trap.Failed();
  }

  // --- INCR transfers ---------------------------------------------------------------

  bool StartTransfer(Window requestor, Atom property, Atom type,
                     std::shared_ptr<const Bytes> data) {
    const auto existing = FindTransfer(requestor, property);
    if (existing != transfers.end()) EndTransfer(existing);
    if (!Watch(requestor)) return false;
    // The INCR value is a lower bound of the size; ours is exact.
    const long size = static_cast<long>(std::min<std::size_t>(data->size(), 0x7FFFFFFF));
    XChangeProperty(display, requestor, property, atom(kIncr), 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&size), 1);
    Transfer transfer;
    transfer.requestor = requestor;
    transfer.property = property;
    transfer.type = type;
    transfer.data = std::move(data);
    transfer.last_activity = Clock::now();
    transfers.push_back(std::move(transfer));
    return true;
  }

  // Selects property changes and destruction on `requestor`, keeping whatever
  // else we select there. False when the window does not exist.
  bool Watch(Window requestor) {
    if (requestor == window) return true;  // always watched
    const bool known = std::any_of(watched.begin(), watched.end(),
                                   [&](const Watched& w) { return w.window == requestor; });
    if (known) return true;
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, requestor, &attributes) == 0) return false;
    XSelectInput(display, requestor,
                 attributes.your_event_mask | PropertyChangeMask | StructureNotifyMask);
    watched.push_back({requestor, attributes.your_event_mask});
    return true;
  }

  void EndTransfer(std::vector<Transfer>::iterator transfer) {
    const Window requestor = transfer->requestor;
    transfers.erase(transfer);
    const bool still_used = std::any_of(transfers.begin(), transfers.end(), [&](const Transfer& t) {
      return t.requestor == requestor;
    });
    if (still_used) return;
    const auto entry = std::find_if(watched.begin(), watched.end(),
                                    [&](const Watched& w) { return w.window == requestor; });
    if (entry == watched.end()) return;
    const long previous_mask = entry->previous_mask;
    watched.erase(entry);
    ErrorTrap trap(display);  // the window may be gone already
    XSelectInput(display, requestor, previous_mask);
  }

  // The requestor's window is gone: its transfers end, and nothing is left to
  // restore on it.
  void ForgetRequestor(Window requestor) {
    std::erase_if(transfers, [&](const Transfer& t) { return t.requestor == requestor; });
    std::erase_if(watched, [&](const Watched& w) { return w.window == requestor; });
  }

  void OnRequestorPropertyChange(const XPropertyEvent& event) {
    const auto transfer = FindTransfer(event.window, event.atom);
    if (transfer == transfers.end() || event.state != PropertyDelete) return;
    if (transfer->final_sent) {
      EndTransfer(transfer);
      return;
    }
    // The requestor took the last chunk: write the next, or the empty one that
    // ends the transfer.
    const std::size_t offset = transfer->offset;
    const std::size_t length = std::min(chunk_size, transfer->data->size() - offset);
    ErrorTrap trap(display);
    XChangeProperty(display, transfer->requestor, transfer->property, transfer->type, 8,
                    PropModeReplace, transfer->data->data() + offset, static_cast<int>(length));
    if (trap.Failed()) {
      EndTransfer(transfer);  // the requestor went away
      return;
    }
    transfer->offset = offset + length;
    transfer->final_sent = length == 0;
    transfer->last_activity = Clock::now();
  }

  void DropStalledTransfers() {
    const auto now = Clock::now();
    for (std::size_t i = transfers.size(); i-- > 0;) {
      if (now - transfers[i].last_activity > kTransferStall) {
        EndTransfer(transfers.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }

  // --- Reading another owner's picture ---------------------------------------------

  // Reads and deletes `property` of our window; nothing if it is larger than we
  // accept.
  std::optional<Property> TakeProperty(Atom property) {
    Property result;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(
        display, window, property, 0, static_cast<long>(kMaxIncoming / 4), True, AnyPropertyType,
        &result.type, &result.format, &result.items, &after, &data);
    result.data.reset(data);
    if (status != Success) return std::nullopt;
    if (after != 0) {
      XDeleteProperty(display, window, property);
      return std::nullopt;
    }
    return result;
  }

  // Receives an INCR transfer into `property`, whose INCR announcement we have
  // just deleted (which asks the owner for the first chunk).
  std::optional<Bytes> ReceiveIncremental(Atom property, Clock::time_point deadline) {
    Bytes bytes;
    for (;;) {
      XEvent event;
      const bool got = Pump(
          deadline,
          [&](const XEvent& e) {
            return e.type == PropertyNotify && e.xproperty.window == window &&
                   e.xproperty.atom == property && e.xproperty.state == PropertyNewValue;
          },
          &event);
      if (!got) return std::nullopt;
      std::optional<Property> chunk = TakeProperty(property);
      if (!chunk) return std::nullopt;
      if (chunk->type == None) continue;  // already taken
      if (chunk->items == 0) return bytes;
      if (chunk->format != 8 || chunk->items > kMaxIncoming - bytes.size()) return std::nullopt;
      bytes.insert(bytes.end(), chunk->data.get(), chunk->data.get() + chunk->items);
    }
  }

  Picture ReadOther(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    if (XGetSelectionOwner(display, atom(kClipboard)) == None) return nullptr;
    const Atom property = atom(kDataProperty);
    XDeleteProperty(display, window, property);
    XConvertSelection(display, atom(kClipboard), atom(kImagePng), property, window, CurrentTime);
    std::optional<Property> reply;
    while (!reply) {
      XEvent event;
      const bool answered = Pump(
          deadline,
          [&](const XEvent& e) {
            return e.type == SelectionNotify && e.xselection.requestor == window &&
                   e.xselection.selection == atom(kClipboard) &&
                   e.xselection.target == atom(kImagePng);
          },
          &event);
      if (!answered) {
        XDeleteProperty(display, window, property);
        return nullptr;
      }
      if (event.xselection.property != property) return nullptr;  // refused
      reply = TakeProperty(property);
      if (!reply) return nullptr;
      // An empty property means the answer to an earlier request that timed
      // out; ours is still to come.
      if (reply->type == None) reply.reset();
    }
    std::optional<Bytes> incremental;
    const std::uint8_t* data = reply->data.get();
    std::size_t size = reply->items;
    if (reply->type == atom(kIncr)) {
      incremental = ReceiveIncremental(property, deadline);
      if (!incremental) {
        XDeleteProperty(display, window, property);
        return nullptr;
      }
      data = incremental->data();
      size = incremental->size();
    } else if (reply->format != 8) {
      return nullptr;
    }
    std::optional<Image> image = DecodePng(data, size, format);
    if (!image) return nullptr;
    return std::make_shared<const Image>(std::move(*image));
  }
};

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
  {
    ErrorTrap trap(display_);
    for (const State::Watched& w : state_->watched)
      XSelectInput(display_, w.window, w.previous_mask);
  }
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
  state_->picture = std::move(picture);
  state_->lend = std::move(lend);
  state_->png.reset();
}

Picture X11Clipboard::Read(std::chrono::milliseconds timeout) {
  if (state_->owned) return state_->picture;
  return state_->ReadOther(timeout);
}

bool X11Clipboard::HandleEvent(const XEvent& event) {
  if (!state_->Wanted(event)) return false;
  state_->Dispatch(event);
  return true;
}

bool X11Clipboard::Owned() const { return state_->owned; }

bool X11Clipboard::HandOffToManager(std::chrono::milliseconds timeout) {
  State& s = *state_;
  const auto deadline = Clock::now() + timeout;
  if (!s.owned) return false;
  if (XGetSelectionOwner(display_, s.atom(kClipboardManager)) == None) return false;
  // The targets we ask the manager to save.
  const Atom targets[] = {s.atom(kImagePng)};
  XChangeProperty(display_, window_, s.atom(kSaveProperty), XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(targets), 1);
  XConvertSelection(display_, s.atom(kClipboardManager), s.atom(kSaveTargets),
                    s.atom(kSaveProperty), window_, CurrentTime);
  XEvent event;
  const bool answered = s.Pump(
      deadline,
      [&](const XEvent& e) {
        return e.type == SelectionNotify && e.xselection.requestor == window_ &&
               e.xselection.selection == s.atom(kClipboardManager) &&
               e.xselection.target == s.atom(kSaveTargets);
      },
      &event);
  XDeleteProperty(display_, window_, s.atom(kSaveProperty));
  XFlush(display_);
  return answered && event.xselection.property != None;
}

}  // namespace ostrel
