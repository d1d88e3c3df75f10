#pragma once

// The window's Button and Shift arguments from what Wayland's pointer and
// keyboard report, in the same terms as the X11 backend gives them. Plain
// functions, tested on their own.

#include <cstdint>

namespace ostrel {

// Linux input button codes (linux/input-event-codes.h), as wl_pointer.button
// reports them.
inline constexpr std::uint32_t kButtonLeft = 0x110;
inline constexpr std::uint32_t kButtonRight = 0x111;
inline constexpr std::uint32_t kButtonMiddle = 0x112;
inline constexpr std::uint32_t kButtonSide = 0x113;

// The Button argument: 1 left, 2 right, 4 middle; the side buttons as X
// numbers them (8, 9, ...) shifted past those, 8 << (X number - 4), as the
// X11 backend does; any other code 8.
int ButtonOf(std::uint32_t code);

// The Button argument of a wheel turn, which X reports as a press of buttons
// 4 and 5 (vertical) or 6 and 7 (horizontal): 8, 16, 32, 64; 0 when `value`
// is 0 (the end of a scroll, no turn).
int WheelButtonOf(std::uint32_t axis, double value);

// The Shift argument, bit 0 Shift, bit 1 Ctrl, bit 2 Alt, from the modifier
// mask of wl_keyboard.modifiers (depressed | latched). The keymaps compositors
// send put Shift, Control and Mod1 (Alt) at the X bit positions 0, 2 and 3.
int ShiftOf(std::uint32_t modifiers);

// The Button argument of a motion: the buttons held, in the same bits.
int ButtonsHeldBit(std::uint32_t code);

// The key code of Form_KeyDown: the X key code, Linux key code + 8.
constexpr int KeyCodeOf(std::uint32_t key) { return static_cast<int>(key & 0xFFFFFFU) + 8; }

}  // namespace ostrel
