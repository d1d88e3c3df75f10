#include "platform/wayland/wl_seat_input.h"

#include <unistd.h>

#include "platform/wayland/input_mapping.h"

namespace ostrel {
namespace {

void Ignore() {}

}  // namespace

void SeatInput::Listen(wl_seat* seat) {
  seat_ = seat;
  static constexpr wl_seat_listener kListener = {&SeatInput::OnCapabilities, &SeatInput::OnName};
  wl_seat_add_listener(seat_, &kListener, this);
}

SeatInput::~SeatInput() { Destroy(true); }

void SeatInput::Destroy(bool send) {
  ReleasePointer(send);
  ReleaseKeyboard(send);
}

void SeatInput::ReleasePointer(bool send) {
  if (pointer_ == nullptr) return;
  if (send && wl_pointer_get_version(pointer_) >= 3) {
    wl_pointer_release(pointer_);
  } else {
    wl_pointer_destroy(pointer_);  // no request: only the proxy
  }
  pointer_ = nullptr;
  pointer_surface_ = nullptr;
}

void SeatInput::ReleaseKeyboard(bool send) {
  if (keyboard_ == nullptr) return;
  if (send && wl_keyboard_get_version(keyboard_) >= 3) {
    wl_keyboard_release(keyboard_);
  } else {
    wl_keyboard_destroy(keyboard_);
  }
  keyboard_ = nullptr;
}

void SeatInput::SetCursorHidden(bool hidden) {
  if (hidden == cursor_hidden_) return;
  cursor_hidden_ = hidden;
  // Shown again, the cursor comes back as the surfaces go: the compositor
  // sets its own cursor when the pointer leaves them.
  if (hidden) HideCursorNow();
}

void SeatInput::HideCursorNow() {
  if (pointer_ != nullptr && pointer_surface_ != nullptr) {
    wl_pointer_set_cursor(pointer_, enter_serial_, nullptr, 0, 0);
  }
}

bool SeatInput::Position(float& x, float& y) const {
  if (pointer_surface_ == nullptr || !window_.twips) return false;
  return window_.twips(pointer_surface_, pointer_x_, pointer_y_, x, y);
}

void SeatInput::OnCapabilities(void* data, wl_seat* seat, std::uint32_t capabilities) {
  auto* self = static_cast<SeatInput*>(data);
  const bool has_pointer = (capabilities & WL_SEAT_CAPABILITY_POINTER) != 0;
  const bool has_keyboard = (capabilities & WL_SEAT_CAPABILITY_KEYBOARD) != 0;
  if (has_pointer && self->pointer_ == nullptr) {
    static constexpr wl_pointer_listener kPointer = {
        &SeatInput::OnEnter,
        &SeatInput::OnLeave,
        &SeatInput::OnMotion,
        &SeatInput::OnButton,
        &SeatInput::OnAxis,
        [](void*, wl_pointer*) { Ignore(); },                            // frame
        [](void*, wl_pointer*, std::uint32_t) { Ignore(); },             // axis_source
        [](void*, wl_pointer*, std::uint32_t, std::uint32_t) { Ignore(); },  // axis_stop
        [](void*, wl_pointer*, std::uint32_t, std::int32_t) { Ignore(); },   // axis_discrete
        nullptr};
    self->pointer_ = wl_seat_get_pointer(seat);
    wl_pointer_add_listener(self->pointer_, &kPointer, self);
  } else if (!has_pointer) {
    self->ReleasePointer(true);
  }
  if (has_keyboard && self->keyboard_ == nullptr) {
    static constexpr wl_keyboard_listener kKeyboard = {
        &SeatInput::OnKeymap,
        &SeatInput::OnKeyboardEnter,
        [](void*, wl_keyboard*, std::uint32_t, wl_surface*) { Ignore(); },  // leave
        &SeatInput::OnKey,
        &SeatInput::OnModifiers,
        [](void*, wl_keyboard*, std::int32_t, std::int32_t) { Ignore(); }};  // repeat_info
    self->keyboard_ = wl_seat_get_keyboard(seat);
    wl_keyboard_add_listener(self->keyboard_, &kKeyboard, self);
  } else if (!has_keyboard) {
    self->ReleaseKeyboard(true);
  }
}

void SeatInput::OnName(void*, wl_seat*, const char*) {}

void SeatInput::OnEnter(void* data, wl_pointer*, std::uint32_t serial, wl_surface* surface,
                        wl_fixed_t x, wl_fixed_t y) {
  auto* self = static_cast<SeatInput*>(data);
  float tx = 0.0F;
  float ty = 0.0F;
  if (!self->window_.twips || !self->window_.twips(surface, 0.0, 0.0, tx, ty)) return;
  self->pointer_surface_ = surface;
  self->pointer_x_ = wl_fixed_to_double(x);
  self->pointer_y_ = wl_fixed_to_double(y);
  self->enter_serial_ = serial;
  if (self->cursor_hidden_) self->HideCursorNow();
  if (self->window_.note_serial) self->window_.note_serial(serial);
  // The first position reported; entering another output's surface is a move.
  if (self->window_.events != nullptr && self->Position(tx, ty)) {
    self->window_.events->Form_MouseMove(self->buttons_held_, ShiftOf(self->modifiers_), tx, ty);
  }
}

void SeatInput::OnLeave(void* data, wl_pointer*, std::uint32_t, wl_surface* surface) {
  auto* self = static_cast<SeatInput*>(data);
  if (surface == self->pointer_surface_) self->pointer_surface_ = nullptr;
}

void SeatInput::OnMotion(void* data, wl_pointer*, std::uint32_t, wl_fixed_t x, wl_fixed_t y) {
  auto* self = static_cast<SeatInput*>(data);
  if (self->pointer_surface_ == nullptr) return;
  self->pointer_x_ = wl_fixed_to_double(x);
  self->pointer_y_ = wl_fixed_to_double(y);
  float tx = 0.0F;
  float ty = 0.0F;
  if (self->window_.events != nullptr && self->Position(tx, ty)) {
    self->window_.events->Form_MouseMove(self->buttons_held_, ShiftOf(self->modifiers_), tx, ty);
  }
}

void SeatInput::OnButton(void* data, wl_pointer*, std::uint32_t serial, std::uint32_t,
                         std::uint32_t button, std::uint32_t state) {
  auto* self = static_cast<SeatInput*>(data);
  if (self->pointer_surface_ == nullptr) return;
  if (self->window_.note_serial) self->window_.note_serial(serial);
  const bool pressed = state == WL_POINTER_BUTTON_STATE_PRESSED;
  if (pressed) {
    self->buttons_held_ |= ButtonsHeldBit(button);
  } else {
    self->buttons_held_ &= ~ButtonsHeldBit(button);
  }
  float tx = 0.0F;
  float ty = 0.0F;
  if (self->window_.events == nullptr || !self->Position(tx, ty)) return;
  const int shift = ShiftOf(self->modifiers_);
  if (pressed) {
    self->window_.events->Form_MouseDown(ButtonOf(button), shift, tx, ty);
  } else {
    self->window_.events->Form_MouseUp(ButtonOf(button), shift, tx, ty);
  }
}

void SeatInput::OnAxis(void* data, wl_pointer*, std::uint32_t, std::uint32_t axis,
                       wl_fixed_t value) {
  // A wheel turn is a button press, as X reports it.
  auto* self = static_cast<SeatInput*>(data);
  const int button = WheelButtonOf(axis, wl_fixed_to_double(value));
  float tx = 0.0F;
  float ty = 0.0F;
  if (button == 0 || self->window_.events == nullptr || !self->Position(tx, ty)) return;
  self->window_.events->Form_MouseDown(button, ShiftOf(self->modifiers_), tx, ty);
}

void SeatInput::OnKeymap(void*, wl_keyboard*, std::uint32_t, std::int32_t fd, std::uint32_t) {
  // The key codes are reported as they come; the keymap is not needed.
  close(fd);
}

void SeatInput::OnKeyboardEnter(void* data, wl_keyboard*, std::uint32_t serial, wl_surface*,
                                wl_array*) {
  // Keys already down when the focus arrives are not presses: only key
  // events count.
  auto* self = static_cast<SeatInput*>(data);
  if (self->window_.note_serial) self->window_.note_serial(serial);
}

void SeatInput::OnKey(void* data, wl_keyboard*, std::uint32_t serial, std::uint32_t,
                      std::uint32_t key, std::uint32_t state) {
  auto* self = static_cast<SeatInput*>(data);
  if (self->window_.note_serial) self->window_.note_serial(serial);
  if (state != WL_KEYBOARD_KEY_STATE_PRESSED || self->window_.events == nullptr) return;
  self->window_.events->Form_KeyDown(KeyCodeOf(key), ShiftOf(self->modifiers_));
}

void SeatInput::OnModifiers(void* data, wl_keyboard*, std::uint32_t, std::uint32_t depressed,
                            std::uint32_t latched, std::uint32_t, std::uint32_t) {
  static_cast<SeatInput*>(data)->modifiers_ = depressed | latched;
}

}  // namespace ostrel
