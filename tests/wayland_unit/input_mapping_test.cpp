// The window's Button and Shift arguments from Wayland's button codes, wheel
// axes and modifier masks, in the X11 backend's terms.

#include <gtest/gtest.h>

#include "platform/wayland/input/input_mapping.h"

namespace ostrel {
namespace {

TEST(WaylandInput, ButtonsAsTheX11BackendNumbersThem) {
  struct Case {
    std::uint32_t code;
    int button;
    int held;
  };
  const Case cases[] = {
      {0x110, 1, 1},             // BTN_LEFT
      {0x111, 2, 2},             // BTN_RIGHT
      {0x112, 4, 4},             // BTN_MIDDLE
      {0x113, 128, 0},           // BTN_SIDE: X button 8, 8 << 4
      {0x114, 256, 0},           // BTN_EXTRA: X button 9
      {0x113 + 11, 8 << 15, 0},  // X button 19: the last one shifted
      {0x113 + 12, 8, 0},        // beyond: 8, as X11's ButtonOf
      {0x100, 8, 0},             // BTN_0, not a mouse button
      {0, 8, 0},
      {0xFFFFFFFF, 8, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ButtonOf(c.code), c.button) << std::hex << c.code;
    EXPECT_EQ(ButtonsHeldBit(c.code), c.held) << std::hex << c.code;
  }
}

TEST(WaylandInput, WheelTurnsAreTheWheelButtons) {
  struct Case {
    std::uint32_t axis;
    double value;
    int button;
  };
  const Case cases[] = {
      {0, -10.0, 8},  // up: X button 4
      {0, 10.0, 16},  // down: 5
      {1, -0.5, 32},  // left: 6
      {1, 15.0, 64},  // right: 7
      {0, 0.0, 0},    // the end of a scroll: nothing turned
      {2, 10.0, 0},   // an axis that does not exist
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WheelButtonOf(c.axis, c.value), c.button) << c.axis << " " << c.value;
  }
}

TEST(WaylandInput, ShiftFromTheKeymapsModifierBits) {
  struct Case {
    std::uint32_t modifiers;
    int shift;
  };
  const Case cases[] = {
      {0, 0},
      {1U << 0, 1},  // Shift
      {1U << 2, 2},  // Control
      {1U << 3, 4},  // Mod1 (Alt)
      {1U << 1, 0},  // Lock (Caps Lock) is not Shift
      {1U << 6, 0},  // Mod4 (the logo key)
      {(1U << 0) | (1U << 2) | (1U << 3) | (1U << 6), 7},
  };
  for (const Case& c : cases) EXPECT_EQ(ShiftOf(c.modifiers), c.shift) << c.modifiers;
}

}  // namespace
}  // namespace ostrel
