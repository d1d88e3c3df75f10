#pragma once

// The two ways of putting our data on a seat's selection: the compositor's
// data-control interface (a clipboard-manager interface that needs neither
// focus nor an input serial) and the core data device (which needs the serial
// of an input event). Each owns its device, its current source and the offers
// of other clients' selections that the compositor announces to it
// (wl_clipboard_offers.h). wl_clipboard_data_control.h and
// wl_clipboard_data_device.h make one of each kind.

#include <cstdint>

#include "platform/wayland/wl_free.h"

struct wl_event_queue;

namespace ostrel {

class SelectionChannel {
 public:
  // What the channel reports about our current source.
  class Events {
   public:
    // A reader asks for the data as `mime_type`: write it to `fd` and close
    // it (the receiver owns `fd`).
    virtual void OnSend(const char* mime_type, int fd) = 0;
    // Our source is no longer the selection (another client took it, or the
    // seat went away).
    virtual void OnCancelled() = 0;

   protected:
    ~Events() = default;
  };

  virtual ~SelectionChannel() = default;

  // Whether setting the selection needs the serial of an input event.
  virtual bool NeedsSerial() const = 0;
  // Replaces our source with a new one offering `mime_type` and makes it the
  // selection. `serial` is used only when NeedsSerial(). False when the
  // channel can no longer set selections (its device is gone).
  virtual bool SetSelection(const char* mime_type, std::uint32_t serial) = 0;
  // Destroys our source, if any (with its destroy request).
  virtual void DropSource() = 0;
  // Delivers the events of all its objects, now and later, on `queue`.
  virtual void MoveToQueue(wl_event_queue* queue) = 0;
  // Frees its objects; silently when another process serves them now. The
  // destructor then frees nothing more.
  virtual void Free(FreeMode mode) = 0;
};

}  // namespace ostrel
