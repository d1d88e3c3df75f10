#pragma once

// The window's input events as the system's messages carry them: which mouse
// messages are presses, releases and moves, and the Button and Shift arguments
// the window's handlers take. Plain functions of the message and the key state,
// so that the mapping can be checked without a window.

#include <windows.h>

#include <array>

namespace ostrel {

// The window's Button argument: one bit per button.
inline constexpr int kLeftButton = 1;
inline constexpr int kRightButton = 2;
inline constexpr int kMiddleButton = 4;
inline constexpr int kXButton1 = 8;
inline constexpr int kXButton2 = 16;

// The window's Shift argument: one bit per modifier key.
inline constexpr int kShiftDown = 1;
inline constexpr int kCtrlDown = 2;
inline constexpr int kAltDown = 4;

// The state of every virtual key, one byte each, high bit set while the key is
// down (as GetKeyboardState reports it).
using KeyboardState = std::array<BYTE, 256>;

// The thread's key state as of the message being handled; every key up when
// the system cannot tell.
KeyboardState CurrentKeyboardState();

enum class MouseAction { kNone, kDown, kUp, kMove };

struct MouseEvent {
  MouseAction action = MouseAction::kNone;
  // Down and up: the one button pressed or released. Move: every button held.
  int button = 0;
  int shift = 0;
  // Pixels from the window's top-left corner; negative left of and above it.
  int x = 0;
  int y = 0;

  friend bool operator==(const MouseEvent&, const MouseEvent&) = default;
};

// Which of the window's mouse events `message` is; kNone for any other message.
MouseAction MouseActionOf(UINT message);

// The window's mouse event for a mouse message, with its arguments. Shift and
// Ctrl come from the message itself; Alt, which mouse messages do not carry,
// from `keys`.
MouseEvent MouseEventOf(UINT message, WPARAM wparam, LPARAM lparam, const KeyboardState& keys);

// The Shift argument of a key event, from the key state.
int KeyShift(const KeyboardState& keys);

}  // namespace ostrel
