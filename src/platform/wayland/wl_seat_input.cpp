#include "platform/wayland/wl_seat_input.h"

#include <unistd.h>

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

template <typename Call>
void SeatInput::Guarded(void* data, Call&& call) {
  auto* self = static_cast<SeatInput*>(data);
  if (self->failure_) return;  // the run is ending with the first failure
  try {
    call(*self);
  } catch (...) {
    self->failure_ = std::current_exception();
  }
}

void SeatInput::RethrowFailure() {
  if (!failure_) return;
  std::exception_ptr failure = failure_;
  failure_ = nullptr;
  std::rethrow_exception(failure);
}

void SeatInput::Destroy(bool send) {
  ReleasePointer(send);
  ReleaseKeyboard(send);
}

void SeatInput::ReleasePointer(bool send) {
  if (pointer_ == nullptr) return;
  if (send && wl_pointer_get_version(pointer_) >= WL_POINTER_RELEASE_SINCE_VERSION) {
    wl_pointer_release(pointer_);
  } else {
    wl_pointer_destroy(pointer_);  // no request: only the proxy
  }
  pointer_ = nullptr;
  translator_.PointerGone();
}

void SeatInput::ReleaseKeyboard(bool send) {
  if (keyboard_ == nullptr) return;
  if (send && wl_keyboard_get_version(keyboard_) >= WL_KEYBOARD_RELEASE_SINCE_VERSION) {
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
  if (pointer_ != nullptr && translator_.PointerOnWindow()) {
    wl_pointer_set_cursor(pointer_, enter_serial_, nullptr, 0, 0);
  }
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
  Guarded(data, [&](SeatInput& self) {
    if (!self.translator_.Enter(surface, wl_fixed_to_double(x), wl_fixed_to_double(y))) return;
    self.enter_serial_ = serial;
    if (self.cursor_hidden_) self.HideCursorNow();
    self.NoteSerial(serial);
  });
}

void SeatInput::OnLeave(void* data, wl_pointer*, std::uint32_t, wl_surface* surface) {
  Guarded(data, [&](SeatInput& self) { self.translator_.Leave(surface); });
}

void SeatInput::OnMotion(void* data, wl_pointer*, std::uint32_t, wl_fixed_t x, wl_fixed_t y) {
  Guarded(data, [&](SeatInput& self) {
    self.translator_.Motion(wl_fixed_to_double(x), wl_fixed_to_double(y));
  });
}

void SeatInput::OnButton(void* data, wl_pointer*, std::uint32_t serial, std::uint32_t,
                         std::uint32_t button, std::uint32_t state) {
  Guarded(data, [&](SeatInput& self) {
    self.NoteSerial(serial);
    self.translator_.Button(button, state == WL_POINTER_BUTTON_STATE_PRESSED);
  });
}

void SeatInput::OnAxis(void* data, wl_pointer*, std::uint32_t, std::uint32_t axis,
                       wl_fixed_t value) {
  Guarded(data,
          [&](SeatInput& self) { self.translator_.Axis(axis, wl_fixed_to_double(value)); });
}

void SeatInput::OnKeymap(void*, wl_keyboard*, std::uint32_t, std::int32_t fd, std::uint32_t) {
  // The key codes are reported as they come; the keymap is not needed.
  close(fd);
}

void SeatInput::OnKeyboardEnter(void* data, wl_keyboard*, std::uint32_t serial, wl_surface*,
                                wl_array*) {
  // The keys already down (the array) are not presses: nothing to report.
  Guarded(data, [&](SeatInput& self) { self.NoteSerial(serial); });
}

void SeatInput::OnKey(void* data, wl_keyboard*, std::uint32_t serial, std::uint32_t,
                      std::uint32_t key, std::uint32_t state) {
  Guarded(data, [&](SeatInput& self) {
    self.NoteSerial(serial);
    self.translator_.Key(key, state == WL_KEYBOARD_KEY_STATE_PRESSED);
  });
}

void SeatInput::OnModifiers(void* data, wl_keyboard*, std::uint32_t, std::uint32_t depressed,
                            std::uint32_t latched, std::uint32_t, std::uint32_t) {
  static_cast<SeatInput*>(data)->translator_.Modifiers(depressed, latched);
}

}  // namespace ostrel
