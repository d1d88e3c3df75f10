#pragma once

// The seat's pointer and keyboard: bound whenever the seat has them, their
// events handed to the InputTranslator (which reports them to the window
// through its gate), and the cursor hidden over the window's covers. The
// output a pointer enters is found from the cover's user data (its place in
// the layout), so that nothing here asks the platform.

#include <wayland-client.h>

#include <cstdint>

#include "platform/event_gate.h"
#include "platform/wayland/frame_layout.h"
#include "platform/wayland/input/input_translator.h"
#include "platform/wayland/wl_free.h"

namespace ostrel {

class WaylandClipboard;

class SeatInput {
 public:
  explicit SeatInput(EventGate& gate) : translator_(gate) {}
  ~SeatInput() { Free(FreeMode::kWithRequests); }
  SeatInput(const SeatInput&) = delete;
  SeatInput& operator=(const SeatInput&) = delete;

  // Listens to `seat` from the moment it is bound (its capabilities are sent
  // right after): binds the pointer and the keyboard whenever the seat has
  // them, also later during the run.
  void Listen(wl_seat* seat);

  // The frame over the outputs, which positions are reckoned in.
  void SetLayout(const FrameLayout& layout) { translator_.SetLayout(layout); }
  // The clipboard is given the serial of each input event (the core data
  // device needs one to set the selection).
  void GiveSerialsTo(WaylandClipboard* clipboard) { clipboard_ = clipboard; }

  // Hides the cursor over the window's covers (every pointer enter sets no
  // cursor), or stops hiding it.
  void SetCursorHidden(bool hidden);

  // Frees the pointer and the keyboard (the seat itself is a global).
  void Free(FreeMode mode);

 private:
  friend struct SeatListeners;
  void OnCapabilities(std::uint32_t capabilities);
  void OnPointerEnter(std::uint32_t serial, wl_surface* surface, wl_fixed_t x, wl_fixed_t y);
  void OnPointerLeave(wl_surface* surface);
  void OnButton(std::uint32_t serial, std::uint32_t button, std::uint32_t state);
  void OnKey(std::uint32_t serial, std::uint32_t key, std::uint32_t state);
  void FreePointer(FreeMode mode);
  void FreeKeyboard(FreeMode mode);
  void HideCursorNow();
  void NoteSerial(std::uint32_t serial);

  wl_seat* seat_ = nullptr;
  wl_pointer* pointer_ = nullptr;
  wl_keyboard* keyboard_ = nullptr;
  InputTranslator translator_;
  WaylandClipboard* clipboard_ = nullptr;
  // The cover the pointer is on (only compared, never used: it may be gone)
  // and the serial of its enter, which the cursor is set with.
  wl_surface* pointer_surface_ = nullptr;
  std::uint32_t enter_serial_ = 0;
  bool cursor_hidden_ = false;
};

}  // namespace ostrel
