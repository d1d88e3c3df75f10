#pragma once

// The seat's pointer and keyboard, reported to the window as its events, and
// the cursor hidden over the window's surfaces.

#include <wayland-client.h>

#include <cstdint>
#include <functional>

#include "platform/platform.h"

namespace ostrel {

class SeatInput {
 public:
  // What the input needs from the window.
  struct Window {
    WindowEvents* events = nullptr;  // null while there is no window
    // A surface-local position in twips over the whole layout; false for a
    // surface that is not one of the window's.
    std::function<bool(wl_surface*, double, double, float&, float&)> twips;
    // Each input event's serial (the clipboard needs one).
    std::function<void(std::uint32_t)> note_serial;
  };

  SeatInput() = default;
  // Listens to `seat` from the moment it is bound (its capabilities are sent
  // right after): binds the pointer and the keyboard whenever the seat has
  // them, also later during the run.
  void Listen(wl_seat* seat);
  ~SeatInput();
  SeatInput(const SeatInput&) = delete;
  SeatInput& operator=(const SeatInput&) = delete;

  Window& Target() { return window_; }

  // Hides the cursor over the window's surfaces (every pointer enter sets no
  // cursor), or stops hiding it.
  void SetCursorHidden(bool hidden);

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

  void ReleasePointer(bool send);
  void ReleaseKeyboard(bool send);
  void HideCursorNow();
  bool Position(float& x, float& y) const;

  wl_seat* seat_ = nullptr;
  wl_pointer* pointer_ = nullptr;
  wl_keyboard* keyboard_ = nullptr;
  Window window_;

  // The pointer: the surface it is on (null when none of ours has it), its
  // last position there, the serial of its enter, the buttons held.
  wl_surface* pointer_surface_ = nullptr;
  double pointer_x_ = 0.0;
  double pointer_y_ = 0.0;
  std::uint32_t enter_serial_ = 0;
  int buttons_held_ = 0;
  std::uint32_t modifiers_ = 0;
  bool cursor_hidden_ = false;
};

}  // namespace ostrel
