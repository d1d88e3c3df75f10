#pragma once

// The clipboard's outgoing INCR transfers: picture data larger than one
// request may carry goes to the requestor chunk by chunk, through one property
// on the requestor's window, each chunk after the requestor deleted the last.

#include <X11/Xlib.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/clock.h"

namespace ostrel {

class OutgoingTransfers {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // `own_window` is the clipboard's window, which is never watched as a
  // requestor; `incr` the INCR atom; `chunk_size` the bytes of each chunk.
  OutgoingTransfers(Display* display, Window own_window, Atom incr, std::size_t chunk_size);
  // Gives the requestor windows still watched their event masks back.
  ~OutgoingTransfers();
  OutgoingTransfers(const OutgoingTransfers&) = delete;
  OutgoingTransfers& operator=(const OutgoingTransfers&) = delete;

  // Announces `data` with INCR in `property` on `requestor`, ending a transfer
  // into the same property that is still under way. False when the requestor's
  // window does not exist.
  bool Start(Window requestor, Atom property, Atom type, std::shared_ptr<const Bytes> data);
  // Ends the transfer into `property` on `requestor`, if there is one.
  void Cancel(Window requestor, Atom property);

  // Whether `event` is one of the transfers': a property change of a transfer's
  // property, or the destruction of a requestor's window.
  bool Wants(const XEvent& event) const;
  // Sends the next chunk when a requestor took the last one, and forgets the
  // transfers of a requestor whose window is gone.
  void Handle(const XEvent& event);
  // Abandons the transfers whose requestor has not asked for a chunk for long.
  void DropStalled();

 private:
  struct Transfer {
    Window requestor = None;
    Atom property = None;
    Atom type = None;
    std::shared_ptr<const Bytes> data;
    std::size_t offset = 0;
    // The zero-length chunk that ends the transfer is written; we wait for its
    // deletion only to stop watching the window cleanly.
    bool final_sent = false;
    TimePoint last_activity;
  };
  // A requestor window whose property changes and destruction we watch, and
  // the event mask we had on it before. A destroyed window must be forgotten at
  // once: the server gives its id to the next client's window.
  struct Watched {
    Window window = None;
    long previous_mask = 0;
  };

  std::vector<Transfer>::iterator Find(Window requestor, Atom property);
  bool Watch(Window requestor);
  void End(std::vector<Transfer>::iterator transfer);
  void Forget(Window requestor);
  void OnPropertyChange(const XPropertyEvent& event);

  Display* display_;
  Window own_window_;
  Atom incr_;
  std::size_t chunk_size_;
  std::vector<Transfer> transfers_;
  std::vector<Watched> watched_;
};

}  // namespace ostrel
