#include "platform/wayland/input/wl_seat_input.h"

#include <unistd.h>


#include "platform/wayland/clipboard/wl_clipboard.h"

namespace ostrel {

// Each callback forwards to the SeatInput; the window's handler, reached
// through the translator, is the last thing each one does.
struct SeatListeners {
  static SeatInput& Of(void* data) { return *static_cast<SeatInput*>(data); }

  static constexpr wl_seat_listener kSeat = {
      .capabilities = [](void* data, wl_seat*,
                         std::uint32_t capabilities) { Of(data).OnCapabilities(capabilities); },
      .name = [](void*, wl_seat*, const char*) {},
  };

  static constexpr wl_pointer_listener kPointer = {
      .enter = [](void* data, wl_pointer*, std::uint32_t serial, wl_surface* surface, wl_fixed_t x,
                  wl_fixed_t y) { Of(data).OnPointerEnter(serial, surface, x, y); },
      .leave = [](void* data, wl_pointer*, std::uint32_t,
                  wl_surface* surface) { Of(data).OnPointerLeave(surface); },
      .motion =
          [](void* data, wl_pointer*, std::uint32_t, wl_fixed_t x, wl_fixed_t y) {
            Of(data).translator_.Motion(wl_fixed_to_double(x), wl_fixed_to_double(y));
          },
      .button = [](void* data, wl_pointer*, std::uint32_t serial, std::uint32_t,
                   std::uint32_t button,
                   std::uint32_t state) { Of(data).OnButton(serial, button, state); },
      .axis = [](void* data, wl_pointer*, std::uint32_t, std::uint32_t axis,
                 wl_fixed_t value) { Of(data).translator_.Axis(axis, wl_fixed_to_double(value)); },
      .frame = [](void*, wl_pointer*) {},
      .axis_source = [](void*, wl_pointer*, std::uint32_t) {},
      .axis_stop = [](void*, wl_pointer*, std::uint32_t, std::uint32_t) {},
      .axis_discrete = [](void*, wl_pointer*, std::uint32_t, std::int32_t) {},
      .axis_value120 = [](void*, wl_pointer*, std::uint32_t, std::int32_t) {},
  };

  static constexpr wl_keyboard_listener kKeyboard = {
      // The key codes are reported as they come; the keymap is not needed.
      .keymap = [](void*, wl_keyboard*, std::uint32_t, std::int32_t fd,
                   std::uint32_t) { close(fd); },
      // Keys already held when the focus comes are no presses: only the
      // serial is kept.
      .enter = [](void* data, wl_keyboard*, std::uint32_t serial, wl_surface*,
                  wl_array*) { Of(data).NoteSerial(serial); },
      .leave = [](void*, wl_keyboard*, std::uint32_t, wl_surface*) {},
      .key = [](void* data, wl_keyboard*, std::uint32_t serial, std::uint32_t, std::uint32_t key,
                std::uint32_t state) { Of(data).OnKey(serial, key, state); },
      .modifiers = [](void* data, wl_keyboard*, std::uint32_t, std::uint32_t depressed,
                      std::uint32_t latched, std::uint32_t,
                      std::uint32_t) { Of(data).translator_.Modifiers(depressed, latched); },
      .repeat_info = [](void*, wl_keyboard*, std::int32_t, std::int32_t) {},
  };
};

void SeatInput::Listen(wl_seat* seat) {
  seat_ = seat;
  wl_seat_add_listener(seat_, &SeatListeners::kSeat, this);
}

void SeatInput::Free(FreeMode mode) {
  FreePointer(mode);
  FreeKeyboard(mode);
}

void SeatInput::FreePointer(FreeMode mode) {
  FreeProxy(pointer_, &wl_pointer_release, WL_POINTER_RELEASE_SINCE_VERSION, mode);
  pointer_surface_ = nullptr;
  translator_.Leave();
}

void SeatInput::FreeKeyboard(FreeMode mode) {
  FreeProxy(keyboard_, &wl_keyboard_release, WL_KEYBOARD_RELEASE_SINCE_VERSION, mode);
}

void SeatInput::SetCursorHidden(bool hidden) {
  if (hidden == cursor_hidden_) return;
  cursor_hidden_ = hidden;
  // Shown again, the cursor comes back as the covers go: the compositor
  // sets its own cursor when the pointer leaves them.
  if (hidden) HideCursorNow();
}

void SeatInput::HideCursorNow() {
  if (pointer_ != nullptr && pointer_surface_ != nullptr) {
    wl_pointer_set_cursor(pointer_, enter_serial_, nullptr, 0, 0);
  }
}

void SeatInput::NoteSerial(std::uint32_t serial) {
  if (clipboard_ != nullptr) clipboard_->NoteInputSerial(serial);
}

void SeatInput::OnCapabilities(std::uint32_t capabilities) {
  const bool has_pointer = (capabilities & WL_SEAT_CAPABILITY_POINTER) != 0;
  const bool has_keyboard = (capabilities & WL_SEAT_CAPABILITY_KEYBOARD) != 0;
  if (has_pointer && pointer_ == nullptr) {
    pointer_ = wl_seat_get_pointer(seat_);
    wl_pointer_add_listener(pointer_, &SeatListeners::kPointer, this);
  } else if (!has_pointer) {
    FreePointer(FreeMode::kWithRequests);
  }
  if (has_keyboard && keyboard_ == nullptr) {
    keyboard_ = wl_seat_get_keyboard(seat_);
    wl_keyboard_add_listener(keyboard_, &SeatListeners::kKeyboard, this);
  } else if (!has_keyboard) {
    FreeKeyboard(FreeMode::kWithRequests);
  }
}

void SeatInput::OnPointerEnter(std::uint32_t serial, wl_surface* surface, wl_fixed_t x,
                               wl_fixed_t y) {
  // Every surface of the program is a cover, its user data the place its
  // positions are reckoned from; a surface destroyed meanwhile comes as null.
  const auto* place = surface != nullptr
                          ? static_cast<const OutputPlace*>(wl_surface_get_user_data(surface))
                          : nullptr;
  if (place == nullptr) {
    pointer_surface_ = nullptr;
    translator_.Leave();
    return;
  }
  pointer_surface_ = surface;
  enter_serial_ = serial;
  if (cursor_hidden_) HideCursorNow();
  NoteSerial(serial);
  translator_.Enter(*place, wl_fixed_to_double(x), wl_fixed_to_double(y));
}

void SeatInput::OnPointerLeave(wl_surface* surface) {
  if (surface != pointer_surface_) return;
  pointer_surface_ = nullptr;
  translator_.Leave();
}

void SeatInput::OnButton(std::uint32_t serial, std::uint32_t button, std::uint32_t state) {
  NoteSerial(serial);
  translator_.Button(button, state == WL_POINTER_BUTTON_STATE_PRESSED);
}

void SeatInput::OnKey(std::uint32_t serial, std::uint32_t key, std::uint32_t state) {
  NoteSerial(serial);
  translator_.Key(key, state == WL_KEYBOARD_KEY_STATE_PRESSED);
}

}  // namespace ostrel
