// Serving other clients' requests for the clipboard we own: TARGETS,
// TIMESTAMP, MULTIPLE and image/png, the PNG encoded when first asked for.

#include <X11/Xatom.h>

#include <algorithm>
#include <iterator>

#include "platform/x11/x11_clipboard_state.h"
#include "platform/x11/x11_errors.h"

namespace ostrel {
namespace {

// The most atom pairs we convert for one MULTIPLE request.
constexpr unsigned long kMaxMultiplePairs = 256;

// Whether server time `a` is earlier than `b`; X times are 32-bit milliseconds
// that wrap around.
bool TimeBefore(Time a, Time b) {
  const auto difference = static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b);
  return static_cast<std::int32_t>(difference) < 0;
}

}  // namespace

void X11Clipboard::State::ServeRequest(const XSelectionRequestEvent& request) {
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

  ScopedErrorTrap trap(display);
  XSendEvent(display, request.requestor, False, NoEventMask, &reply);
}

// Converts one target into `property` on `requestor`, and makes sure the
// server accepted it: false when the requestor is gone or the write failed.
bool X11Clipboard::State::ConvertChecked(Window requestor, Atom target, Atom property) {
  ScopedErrorTrap trap(display);
  bool converted = Convert(requestor, target, property);
  if (trap.Failed()) {
    converted = false;
    transfers.Cancel(requestor, property);
  }
  return converted;
}

bool X11Clipboard::State::Convert(Window requestor, Atom target, Atom property) {
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
    std::shared_ptr<const Bytes> data = png.Get();
    if (data == nullptr) return false;
    if (data->size() > direct_limit) return transfers.Start(requestor, property, target, data);
    XChangeProperty(display, requestor, property, target, 8, PropModeReplace, data->data(),
                    static_cast<int>(data->size()));
    return true;
  }
  return false;
}

// MULTIPLE: `property` on the requestor lists (target, property) pairs; each
// is converted, and the pairs that fail get None as their property.
bool X11Clipboard::State::ConvertMultiple(Window requestor, Atom property) {
  std::vector<Atom> pairs;
  Atom type = None;
  {
    ScopedErrorTrap trap(display);
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
  ScopedErrorTrap trap(display);
  XChangeProperty(display, requestor, property, type, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(pairs.data()),
                  static_cast<int>(pairs.size()));
  return !trap.Failed();
}

}  // namespace ostrel
