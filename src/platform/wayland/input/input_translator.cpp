#include "platform/wayland/input/input_translator.h"

#include "platform/wayland/input/input_mapping.h"

namespace ostrel {

void InputTranslator::Enter(const OutputPlace& place, double x, double y) {
  on_window_ = true;
  place_ = place;
  x_ = x;
  y_ = y;
  gate_.Form_MouseMove(buttons_held_, ShiftOf(modifiers_), TwipsX(), TwipsY());
}

void InputTranslator::Motion(double x, double y) {
  if (!on_window_) return;
  x_ = x;
  y_ = y;
  gate_.Form_MouseMove(buttons_held_, ShiftOf(modifiers_), TwipsX(), TwipsY());
}

void InputTranslator::Button(std::uint32_t code, bool pressed) {
  if (!on_window_) return;
  if (pressed) {
    buttons_held_ |= ButtonsHeldBit(code);
    gate_.Form_MouseDown(ButtonOf(code), ShiftOf(modifiers_), TwipsX(), TwipsY());
  } else {
    buttons_held_ &= ~ButtonsHeldBit(code);
    gate_.Form_MouseUp(ButtonOf(code), ShiftOf(modifiers_), TwipsX(), TwipsY());
  }
}

void InputTranslator::Axis(std::uint32_t axis, double value) {
  const int button = WheelButtonOf(axis, value);
  if (on_window_ && button != 0) {
    gate_.Form_MouseDown(button, ShiftOf(modifiers_), TwipsX(), TwipsY());
  }
}

void InputTranslator::Key(std::uint32_t key, bool pressed) {
  if (pressed) gate_.Form_KeyDown(KeyCodeOf(key), ShiftOf(modifiers_));
}

void InputTranslator::Modifiers(std::uint32_t depressed, std::uint32_t latched) {
  modifiers_ = depressed | latched;
}

}  // namespace ostrel
