#pragma once

// The CLIPBOARD selection, holding a picture as image/png.
//
// While the program owns CLIPBOARD it answers other clients' requests for
// TARGETS, TIMESTAMP, MULTIPLE and image/png; the PNG is encoded the first time
// someone asks and kept. Transfers larger than one request allows go by INCR.
// When the program ends it can hand the picture to a clipboard manager (the
// freedesktop CLIPBOARD_MANAGER / SAVE_TARGETS protocol) so that the picture
// stays on the clipboard after the program has gone.
//
// All of it runs on the caller's thread, from the caller's event loop: the
// clipboard never reads events by itself except inside Read and
// HandOffToManager, which wait for a reply and serve the requests that arrive
// meanwhile.

#include <X11/Xlib.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/image.h"

namespace ostrel {

class X11Clipboard {
 public:
  // Creates the clipboard's own unmapped window on `display`, which outlives
  // every other window of the program. `format` is the pixel format of the
  // pictures it is given and returns.
  X11Clipboard(Display* display, const PixelFormat& format);
  ~X11Clipboard();
  X11Clipboard(const X11Clipboard&) = delete;
  X11Clipboard& operator=(const X11Clipboard&) = delete;

  // Calls `use` with the picture on the clipboard, as it was when it was put
  // there, for the time of the call.
  using PictureLender = std::function<void(const std::function<void(const Image&)>& use)>;

  // Becomes the owner of CLIPBOARD, holding `picture`, with a real server
  // timestamp. Throws PlatformError when the server does not grant ownership.
  // With `lend`, the PNG is encoded from what `lend` shows instead of from
  // `picture` itself: for a picture that is drawn on later (the window's
  // frame), `lend` shows it as it was. The PNG is encoded once, when first
  // asked for, and kept.
  void Own(Picture picture, PictureLender lend = {});

  // The picture the current CLIPBOARD owner holds, as image/png; ours without a
  // round trip when we own it (the picture given to Own). Null when there is no
  // owner, the owner offers no image/png, the data is not a PNG, or no answer
  // comes within `timeout`.
  Picture Read(std::chrono::milliseconds timeout);

  // The events on the clipboard's window (SelectionRequest, SelectionClear,
  // PropertyNotify of INCR transfers, SelectionNotify). Returns false for any
  // other event, which the caller handles.
  bool HandleEvent(const XEvent& event);

  // Whether we own CLIPBOARD now.
  bool Owned() const;

  // When we still own CLIPBOARD and a clipboard manager runs, asks it to take
  // the picture (SAVE_TARGETS) and serves its requests until it is done or
  // `timeout` passes. Returns true when the manager confirmed.
  bool HandOffToManager(std::chrono::milliseconds timeout);

  Window window() const { return window_; }

 private:
  struct State;
  Display* display_;
  Window window_ = 0;
  std::unique_ptr<State> state_;
};

}  // namespace ostrel
