#include "platform/win32/win32_input.h"

#include <cstdint>

namespace ostrel {
namespace {

bool IsDown(const KeyboardState& keys, int virtual_key) {
  return (keys[static_cast<std::size_t>(virtual_key)] & 0x80) != 0;
}

int ButtonsHeld(WPARAM keys) {
  return ((keys & MK_LBUTTON) != 0 ? kLeftButton : 0) |
         ((keys & MK_RBUTTON) != 0 ? kRightButton : 0) |
         ((keys & MK_MBUTTON) != 0 ? kMiddleButton : 0) |
         ((keys & MK_XBUTTON1) != 0 ? kXButton1 : 0) | ((keys & MK_XBUTTON2) != 0 ? kXButton2 : 0);
}

// The button a press or release message is about.
int ButtonOf(UINT message, WPARAM wparam) {
  switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
      return kLeftButton;
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
      return kRightButton;
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
      return kMiddleButton;
    default:  // an X button: which one is in the high word
      return ((wparam >> 16) & 0xFFFF) == XBUTTON1 ? kXButton1 : kXButton2;
  }
}

int MouseShift(WPARAM wparam, const KeyboardState& keys) {
  return ((wparam & MK_SHIFT) != 0 ? kShiftDown : 0) |
         ((wparam & MK_CONTROL) != 0 ? kCtrlDown : 0) | (IsDown(keys, VK_MENU) ? kAltDown : 0);
}

// The signed client coordinates packed in a mouse message.
int LowCoordinate(LPARAM lparam) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(lparam & 0xFFFF));
}
int HighCoordinate(LPARAM lparam) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>((lparam >> 16) & 0xFFFF));
}

}  // namespace

KeyboardState CurrentKeyboardState() {
  KeyboardState keys{};
  if (!GetKeyboardState(keys.data())) keys.fill(0);
  return keys;
}

MouseAction MouseActionOf(UINT message) {
  switch (message) {
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
    case WM_XBUTTONDOWN:
      return MouseAction::kDown;
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
    case WM_MBUTTONUP:
    case WM_XBUTTONUP:
      return MouseAction::kUp;
    case WM_MOUSEMOVE:
      return MouseAction::kMove;
    default:
      return MouseAction::kNone;
  }
}

MouseEvent MouseEventOf(UINT message, WPARAM wparam, LPARAM lparam, const KeyboardState& keys) {
  const MouseAction action = MouseActionOf(message);
  if (action == MouseAction::kNone) return {};
  return MouseEvent{action,
                    action == MouseAction::kMove ? ButtonsHeld(wparam) : ButtonOf(message, wparam),
                    MouseShift(wparam, keys), LowCoordinate(lparam), HighCoordinate(lparam)};
}

int KeyShift(const KeyboardState& keys) {
  return (IsDown(keys, VK_SHIFT) ? kShiftDown : 0) | (IsDown(keys, VK_CONTROL) ? kCtrlDown : 0) |
         (IsDown(keys, VK_MENU) ? kAltDown : 0);
}

}  // namespace ostrel
