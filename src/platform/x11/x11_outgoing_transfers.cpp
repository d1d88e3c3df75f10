#include "platform/x11/x11_outgoing_transfers.h"

#include <algorithm>

#include "platform/x11/x11_errors.h"

namespace ostrel {
namespace {

// A transfer whose requestor has not asked for the next chunk in this long is
// abandoned.
constexpr auto kTransferStall = std::chrono::seconds(10);

}  // namespace

OutgoingTransfers::OutgoingTransfers(Display* display, Window own_window, Atom incr,
                                     std::size_t chunk_size)
    : display_(display), own_window_(own_window), incr_(incr), chunk_size_(chunk_size) {}

OutgoingTransfers::~OutgoingTransfers() {
  ScopedErrorTrap trap(display_);
  for (const Watched& w : watched_) XSelectInput(display_, w.window, w.previous_mask);
}

std::vector<OutgoingTransfers::Transfer>::iterator OutgoingTransfers::Find(Window requestor,
                                                                           Atom property) {
  return std::find_if(transfers_.begin(), transfers_.end(), [&](const Transfer& t) {
    return t.requestor == requestor && t.property == property;
  });
}

bool OutgoingTransfers::Wants(const XEvent& event) const {
  if (event.type == DestroyNotify) {
    const XDestroyWindowEvent& destroyed = event.xdestroywindow;
    return destroyed.event == destroyed.window &&
           std::any_of(watched_.begin(), watched_.end(),
                       [&](const Watched& w) { return w.window == destroyed.window; });
  }
  if (event.type != PropertyNotify) return false;
  return std::any_of(transfers_.begin(), transfers_.end(), [&](const Transfer& t) {
    return t.requestor == event.xproperty.window && t.property == event.xproperty.atom;
  });
}

void OutgoingTransfers::Handle(const XEvent& event) {
  if (event.type == PropertyNotify && event.xproperty.window != own_window_) {
    OnPropertyChange(event.xproperty);
  } else if (event.type == DestroyNotify && event.xdestroywindow.window != own_window_) {
    Forget(event.xdestroywindow.window);
  }
}

bool OutgoingTransfers::Start(Window requestor, Atom property, Atom type,
                              std::shared_ptr<const Bytes> data) {
  Cancel(requestor, property);
  if (!Watch(requestor)) return false;
  // The INCR value is a lower bound of the size; ours is exact.
  const long size = static_cast<long>(std::min<std::size_t>(data->size(), 0x7FFFFFFF));
  XChangeProperty(display_, requestor, property, incr_, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&size), 1);
  Transfer transfer;
  transfer.requestor = requestor;
  transfer.property = property;
  transfer.type = type;
  transfer.data = std::move(data);
  transfer.last_activity = Clock::now();
  transfers_.push_back(std::move(transfer));
  return true;
}

void OutgoingTransfers::Cancel(Window requestor, Atom property) {
  const auto transfer = Find(requestor, property);
  if (transfer != transfers_.end()) End(transfer);
}

// Selects property changes and destruction on `requestor`, keeping whatever
// else we select there. False when the window does not exist.
bool OutgoingTransfers::Watch(Window requestor) {
  if (requestor == own_window_) return true;  // always watched
  const bool known = std::any_of(watched_.begin(), watched_.end(),
                                 [&](const Watched& w) { return w.window == requestor; });
  if (known) return true;
  XWindowAttributes attributes;
  if (XGetWindowAttributes(display_, requestor, &attributes) == 0) return false;
  XSelectInput(display_, requestor,
               attributes.your_event_mask | PropertyChangeMask | StructureNotifyMask);
  watched_.push_back({requestor, attributes.your_event_mask});
  return true;
}

void OutgoingTransfers::End(std::vector<Transfer>::iterator transfer) {
  const Window requestor = transfer->requestor;
  transfers_.erase(transfer);
  const bool still_used = std::any_of(transfers_.begin(), transfers_.end(),
                                      [&](const Transfer& t) { return t.requestor == requestor; });
  if (still_used) return;
  const auto entry = std::find_if(watched_.begin(), watched_.end(),
                                  [&](const Watched& w) { return w.window == requestor; });
  if (entry == watched_.end()) return;
  const long previous_mask = entry->previous_mask;
  watched_.erase(entry);
  ScopedErrorTrap trap(display_);  // the window may be gone already
  XSelectInput(display_, requestor, previous_mask);
}

// The requestor's window is gone: its transfers end, and nothing is left to
// restore on it.
void OutgoingTransfers::Forget(Window requestor) {
  std::erase_if(transfers_, [&](const Transfer& t) { return t.requestor == requestor; });
  std::erase_if(watched_, [&](const Watched& w) { return w.window == requestor; });
}

void OutgoingTransfers::OnPropertyChange(const XPropertyEvent& event) {
  const auto transfer = Find(event.window, event.atom);
  if (transfer == transfers_.end() || event.state != PropertyDelete) return;
  if (transfer->final_sent) {
    End(transfer);
    return;
  }
  // The requestor took the last chunk: write the next, or the empty one that
  // ends the transfer.
  const std::size_t offset = transfer->offset;
  const std::size_t length = std::min(chunk_size_, transfer->data->size() - offset);
  ScopedErrorTrap trap(display_);
  XChangeProperty(display_, transfer->requestor, transfer->property, transfer->type, 8,
                  PropModeReplace, transfer->data->data() + offset, static_cast<int>(length));
  if (trap.Failed()) {
    End(transfer);  // the requestor went away
    return;
  }
  transfer->offset = offset + length;
  transfer->final_sent = length == 0;
  transfer->last_activity = Clock::now();
}

void OutgoingTransfers::DropStalled() {
  const auto now = Clock::now();
  for (std::size_t i = transfers_.size(); i-- > 0;) {
    if (now - transfers_[i].last_activity > kTransferStall) {
      End(transfers_.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
}

}  // namespace ostrel
