#pragma once

// The seat's pointer and keyboard: bound whenever the seat has them, their
// events handed to the InputTranslator (which calls the window's handlers),
// and the cursor hidden over the window's surfaces.

#include <wayland-client.h>

#include <cstdint>
#include <exception>
#include <functional>

#include "platform/wayland/input_translator.h"

namespace ostrel {

class SeatInput {
 public:
  SeatInput() = default;
  ~SeatInput();
  SeatInput(const SeatInput&) = delete;
  SeatInput& operator=(const SeatInput&) = delete;

  // Listens to `seat` from the moment it is bound (its capabilities are sent
  // right after): binds the pointer and the keyboard whenever the seat has
  // them, also later during the run.
  void Listen(wl_seat* seat);

  InputTranslator& Translator() { return translator_; }
  // Called with the serial of each input event (the clipboard needs one).
  void OnSerial(std::function<void(std::uint32_t)> note_serial) {
    note_serial_ = std::move(note_serial);
  }

  // Hides the cursor over the window's surfaces (every pointer enter sets no
  // cursor), or stops hiding it.
  void SetCursorHidden(bool hidden);

  // A handler that failed during a dispatch: its exception is kept rather
  // than thrown through libwayland's C frames, and thrown here, after the
  // dispatch.
  void RethrowFailure();

  // Frees the proxies: with release requests, or only the proxies when
  // `send` is false (the connection was handed on).
  void Destroy(bool send);

 private:
  static void OnCapabilities(void* data, wl_seat* seat, std::uint32_t capabilities);
  static void OnName(void* data, wl_seat* seat, const char* name);
  static void OnEnter(void* data, wl_pointer*, std::uint32_t serial, wl_surface* surface,
                      wl_fixed_t x, wl_fixed_t y);
  static void OnLeave(void* data, wl_pointer*, std::uint32_t serial, wl_surface* surface);
  static void OnMotion(void* data, wl_pointer*, std::uint32_t time, wl_fixed_t x, wl_fixed_t y);
  static void OnButton(void* data, wl_pointer*, std::uint32_t serial, std::uint32_t time,
                       std::uint32_t button, std::uint32_t state);
  static void OnAxis(void* data, wl_pointer*, std::uint32_t time, std::uint32_t axis,
                     wl_fixed_t value);
  static void OnKeymap(void* data, wl_keyboard*, std::uint32_t format, std::int32_t fd,
                       std::uint32_t size);
  static void OnKeyboardEnter(void* data, wl_keyboard*, std::uint32_t serial, wl_surface*,
                              wl_array* keys);
  static void OnKey(void* data, wl_keyboard*, std::uint32_t serial, std::uint32_t time,
                    std::uint32_t key, std::uint32_t state);
  static void OnModifiers(void* data, wl_keyboard*, std::uint32_t serial, std::uint32_t depressed,
                          std::uint32_t latched, std::uint32_t locked, std::uint32_t group);

  // Runs `call` on the SeatInput behind `data`, keeping what it throws.
  template <typename Call>
  static void Guarded(void* data, Call&& call);
  void ReleasePointer(bool send);
  void ReleaseKeyboard(bool send);
  void HideCursorNow();
  void NoteSerial(std::uint32_t serial) {
    if (note_serial_) note_serial_(serial);
  }

  wl_seat* seat_ = nullptr;
  wl_pointer* pointer_ = nullptr;
  wl_keyboard* keyboard_ = nullptr;
  InputTranslator translator_;
  std::function<void(std::uint32_t)> note_serial_;
  // The serial of the pointer's last enter on one of the window's surfaces:
  // the cursor is set with it.
  std::uint32_t enter_serial_ = 0;
  bool cursor_hidden_ = false;
  std::exception_ptr failure_;
};

}  // namespace ostrel
