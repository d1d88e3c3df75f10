#pragma once

// The Wayland clipboard: the screen copy offered to other clients as
// image/png, and kept on offer after the program has ended.
//
// The selection is set through the compositor's data-control interface when
// it offers one (no focus or input serial needed), otherwise through the
// core data device with the serial of an input event. Every request for the
// data is answered by a forked writer process, so that a reader that is slow
// or never reads cannot block the event loop. A compositor keeps a selection
// only while its owner is connected, so after the run a small detached
// process goes on serving it on the same connection until another client
// takes the selection or the compositor goes away.

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/image.h"

struct wl_display;
struct wl_seat;
struct wl_data_device_manager;
struct zwlr_data_control_manager_v1;

namespace ostrel {

class WaylandClipboard {
 public:
  // Calls `use` with the picture as it was when it was put on the clipboard
  // (the frame is drawn on later).
  using PictureLender = std::function<void(const std::function<void(const Image&)>& use)>;

  // The backend has bound the globals; `data_control` (preferred) and
  // `data_device_manager` may each be null, and so may `seat`. `format` is the
  // pixel format of the pictures. The clipboard's own objects live on the
  // default queue of `display`, which the backend's loop dispatches.
  WaylandClipboard(wl_display* display, wl_seat* seat, zwlr_data_control_manager_v1* data_control,
                   wl_data_device_manager* data_device_manager, const PixelFormat& format);
  // Destroys its objects (with their destroy requests) unless handed over, in
  // which case it frees them without sending anything.
  ~WaylandClipboard();
  WaylandClipboard(const WaylandClipboard&) = delete;
  WaylandClipboard& operator=(const WaylandClipboard&) = delete;

  // Whether a picture can be offered at all: a seat and one of the two
  // protocols are there.
  bool CanOffer() const;

  // Offers `picture` as image/png, replacing an earlier offer of ours. The PNG
  // is encoded from what `lend` shows (from `picture` itself without `lend`)
  // the first time someone asks, and kept. With data-control the selection is
  // set at once; with the data device only, at once if NoteInputSerial has
  // given a serial, otherwise at the first one given. The first call makes
  // the clipboard's device on the seat. Does nothing when
  // !CanOffer() or the picture is null or empty. `lend` must stay callable
  // until KeepServingAfterExit has returned: the serving process calls it in
  // its copy of the program's memory when nobody asked for the PNG before.
  void Own(Picture picture, PictureLender lend);

  // The serial of each input event the backend receives (pointer enter and
  // button, keyboard enter and key).
  void NoteInputSerial(std::uint32_t serial);

  // True while our offer is the selection: set and not replaced by another
  // client's.
  bool Owned() const;

  // Ours (the picture given to Own) while Owned(), else null.
  Picture Read() const;

  // After the run, with the surfaces gone: when Owned(), forks a detached
  // process (own session, stdin/stdout/stderr on /dev/null, no fd but the
  // display's) that goes on serving the selection on the same connection
  // until another client takes it or the compositor goes away, then exits.
  // Returns true when that process serves: from then on the calling process
  // must neither send nor read anything on the connection (free proxies with
  // wl_proxy_destroy, no flush, no dispatch), and Owned() is false in it.
  // Failures are reported on stderr ("ostrel: ...") and never thrown.
  bool KeepServingAfterExit() noexcept;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace ostrel
