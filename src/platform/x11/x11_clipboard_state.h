#pragma once

// What the clipboard holds and knows, shared by the files that serve other
// clients' requests (x11_clipboard_serving.cpp), read another owner's picture
// (x11_clipboard_reading.cpp) and hand the picture to a clipboard manager
// (x11_clipboard_handoff.cpp). The events and the waiting for them are in
// x11_clipboard.cpp.

#include <X11/Xlib.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/clock.h"
#include "platform/image.h"
#include "platform/png_once.h"
#include "platform/x11/x11_clipboard.h"
#include "platform/x11/x11_outgoing_transfers.h"

namespace ostrel {

using Bytes = OutgoingTransfers::Bytes;

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

struct XFreeDeleter {
  void operator()(unsigned char* data) const {
    if (data != nullptr) XFree(data);
  }
};
using XData = std::unique_ptr<unsigned char, XFreeDeleter>;

// One property's worth of data read from a window.
struct Property {
  Atom type = None;
  int format = 0;
  unsigned long items = 0;
  XData data;
};

struct X11Clipboard::State {
  State(Display* display, Window window, const PixelFormat& format);

  Atom atom(AtomIndex index) const { return atoms[index]; }

  // Whether `event` is the clipboard's: anything on its window, and the events
  // of the INCR transfers it serves.
  bool Wanted(const XEvent& event) const;
  // Wanted, as the predicate of XCheckIfEvent.
  static Bool IsWanted(Display*, XEvent* event, XPointer state);
  void Dispatch(const XEvent& event);
  // Dispatches the clipboard's events until `awaited` accepts one (copied to
  // `out`) or `deadline` passes. Other clients' events stay queued for the
  // caller. Sleeps in a wait on the connection, never spins.
  bool Pump(TimePoint deadline, const std::function<bool(const XEvent&)>& awaited,
            XEvent* out);
  // A real server timestamp: the time of a zero-length append to a property of
  // our own window.
  Time ServerTime();

  // Serving requests.
  void ServeRequest(const XSelectionRequestEvent& request);
  bool ConvertChecked(Window requestor, Atom target, Atom property);
  bool Convert(Window requestor, Atom target, Atom property);
  bool ConvertMultiple(Window requestor, Atom property);

  // Reading another owner's picture.
  Picture ReadOther(std::chrono::milliseconds timeout);
  std::optional<Property> TakeProperty(Atom property);
  std::optional<Bytes> ReceiveIncremental(Atom property, TimePoint deadline);

  Display* display;
  Window window;
  PixelFormat format;
  std::array<Atom, kAtomCount> atoms;
  // The most picture data sent in one property; more goes by INCR.
  std::size_t direct_limit;

  bool owned = false;
  Time owned_since = CurrentTime;
  // The picture we own and its PNG, encoded when first asked for.
  PngOnce png;
  OutgoingTransfers transfers;
};

}  // namespace ostrel
