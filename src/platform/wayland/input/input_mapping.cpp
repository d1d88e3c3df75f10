#include "platform/wayland/input/input_mapping.h"

namespace ostrel {
namespace {

// X button numbers start the wheel at 4; X11's ButtonOf shifts 8 by (number - 4).
constexpr std::uint32_t kFirstWheelButton = 4;
constexpr std::uint32_t kFirstSideButton = 8;  // BTN_SIDE is X button 8
constexpr std::uint32_t kShiftedButtons = 16;

constexpr std::uint32_t kShiftMask = 1U << 0;
constexpr std::uint32_t kControlMask = 1U << 2;
constexpr std::uint32_t kMod1Mask = 1U << 3;

int ShiftedXButton(std::uint32_t x_button) {
  const std::uint32_t shift = x_button - kFirstWheelButton;
  return static_cast<int>(8U << (shift < kShiftedButtons ? shift : 0U));
}

}  // namespace

int ButtonOf(std::uint32_t code) {
  switch (code) {
    case kButtonLeft:
      return 1;
    case kButtonRight:
      return 2;
    case kButtonMiddle:
      return 4;
    default:
      if (code >= kButtonSide && code - kButtonSide < kShiftedButtons) {
        return ShiftedXButton(kFirstSideButton + (code - kButtonSide));
      }
      return 8;
  }
}

int WheelButtonOf(std::uint32_t axis, double value) {
  if (value == 0.0 || axis > 1) return 0;
  // Vertical: up is X button 4, down 5; horizontal: left 6, right 7.
  const std::uint32_t x_button = kFirstWheelButton + 2 * axis + (value > 0.0 ? 1U : 0U);
  return ShiftedXButton(x_button);
}

int ShiftOf(std::uint32_t modifiers) {
  return ((modifiers & kShiftMask) != 0 ? 1 : 0) | ((modifiers & kControlMask) != 0 ? 2 : 0) |
         ((modifiers & kMod1Mask) != 0 ? 4 : 0);
}

int ButtonsHeldBit(std::uint32_t code) {
  const int button = ButtonOf(code);
  return button <= 4 ? button : 0;
}

}  // namespace ostrel
