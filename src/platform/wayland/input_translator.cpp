#include "platform/wayland/input_translator.h"

#include "platform/wayland/input_mapping.h"

namespace ostrel {

void InputTranslator::SetWindow(WindowEvents* events, Twips twips) {
  events_ = events;
  twips_ = std::move(twips);
}

bool InputTranslator::Position(float& x, float& y) const {
  if (events_ == nullptr || pointer_surface_ == nullptr || !twips_) return false;
  return twips_(pointer_surface_, pointer_x_, pointer_y_, x, y);
}

bool InputTranslator::Enter(SurfaceKey surface, double x, double y) {
  float tx = 0.0F;
  float ty = 0.0F;
  if (surface == nullptr || !twips_ || !twips_(surface, x, y, tx, ty)) {
    pointer_surface_ = nullptr;
    return false;
  }
  pointer_surface_ = surface;
  pointer_x_ = x;
  pointer_y_ = y;
  if (events_ != nullptr) events_->Form_MouseMove(buttons_held_, ShiftOf(modifiers_), tx, ty);
  return true;
}

void InputTranslator::Leave(SurfaceKey surface) {
  if (surface == pointer_surface_) pointer_surface_ = nullptr;
}

void InputTranslator::Motion(double x, double y) {
  pointer_x_ = x;
  pointer_y_ = y;
  float tx = 0.0F;
  float ty = 0.0F;
  if (Position(tx, ty)) events_->Form_MouseMove(buttons_held_, ShiftOf(modifiers_), tx, ty);
}

void InputTranslator::Button(std::uint32_t code, bool pressed) {
  if (pointer_surface_ == nullptr) return;
  if (pressed) {
    buttons_held_ |= ButtonsHeldBit(code);
  } else {
    buttons_held_ &= ~ButtonsHeldBit(code);
  }
  float tx = 0.0F;
  float ty = 0.0F;
  if (!Position(tx, ty)) return;
  if (pressed) {
    events_->Form_MouseDown(ButtonOf(code), ShiftOf(modifiers_), tx, ty);
  } else {
    events_->Form_MouseUp(ButtonOf(code), ShiftOf(modifiers_), tx, ty);
  }
}

void InputTranslator::Axis(std::uint32_t axis, double value) {
  const int button = WheelButtonOf(axis, value);
  float tx = 0.0F;
  float ty = 0.0F;
  if (button != 0 && Position(tx, ty)) {
    events_->Form_MouseDown(button, ShiftOf(modifiers_), tx, ty);
  }
}

void InputTranslator::Key(std::uint32_t key, bool pressed) {
  if (pressed && events_ != nullptr) events_->Form_KeyDown(KeyCodeOf(key), ShiftOf(modifiers_));
}

void InputTranslator::Modifiers(std::uint32_t depressed, std::uint32_t latched) {
  modifiers_ = depressed | latched;
}

}  // namespace ostrel
