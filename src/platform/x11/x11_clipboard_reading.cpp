// Reading the picture another client holds on the clipboard, as image/png,
// directly or by an incoming INCR transfer.

#include <optional>

#include "platform/png_codec.h"
#include "platform/x11/x11_clipboard_state.h"

namespace ostrel {
namespace {

// The most picture data we accept from another owner.
constexpr std::size_t kMaxIncoming = std::size_t{256} << 20;

}  // namespace

// Reads and deletes `property` of our window; nothing if it is larger than we
// accept.
std::optional<Property> X11Clipboard::State::TakeProperty(Atom property) {
  Property result;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  const int status = XGetWindowProperty(display, window, property, 0,
                                        static_cast<long>(kMaxIncoming / 4), True, AnyPropertyType,
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
std::optional<Bytes> X11Clipboard::State::ReceiveIncremental(Atom property,
                                                             TimePoint deadline) {
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

Picture X11Clipboard::State::ReadOther(std::chrono::milliseconds timeout) {
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

}  // namespace ostrel
