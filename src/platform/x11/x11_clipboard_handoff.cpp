// The hand-off to a clipboard manager when the program ends (the freedesktop
// CLIPBOARD_MANAGER / SAVE_TARGETS protocol): the manager asks for the
// picture, which we serve until it confirms, so that the picture stays on the
// clipboard after we have gone.

#include <X11/Xatom.h>

#include "platform/x11/x11_clipboard_state.h"

namespace ostrel {

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
