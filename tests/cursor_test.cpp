// Hiding and showing the cursor through the system's display counter.

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "platform/fake/fake_platform.h"
#include "run/frm_ostrel.h"

namespace ostrel {
namespace {

struct CursorCase {
  int start;
  std::size_t off_calls;
  int after_off;
  std::size_t on_calls;
  int after_on;
};

void PrintTo(const CursorCase& c, std::ostream* out) { *out << "counter " << c.start; }

class CursorLoops : public ::testing::TestWithParam<CursorCase> {};

TEST_P(CursorLoops, HideThenShow) {
  const CursorCase c = GetParam();
  FakePlatform platform(32, 32);
  platform.cursor_counter = c.start;
  frmOstrel form(platform);

  form.Mouse_Off();
  EXPECT_EQ(platform.Calls("ShowCursor false").size(), c.off_calls);
  EXPECT_EQ(platform.cursor_counter, c.after_off);

  form.Mouse_On();
  EXPECT_EQ(platform.Calls("ShowCursor true").size(), c.on_calls);
  EXPECT_EQ(platform.cursor_counter, c.after_on);
}

INSTANTIATE_TEST_SUITE_P(FromCounter, CursorLoops,
                         ::testing::Values(
                             // A plain desktop with a mouse.
                             CursorCase{0, 1, -1, 1, 0},
                             // Shown twice over: three calls down; back up only to 0, not to 2.
                             CursorCase{2, 3, -1, 1, 0},
                             // Already hidden: lowered once more; three calls back up to 0.
                             CursorCase{-2, 1, -3, 3, 0},
                             // 65535 reads as -1 in its low 16 bits: hidden already, one call down.
                             // Showing then stops at 65536, whose low 16 bits read 0.
                             CursorCase{65535, 1, 65534, 2, 65536}),
                         [](const ::testing::TestParamInfo<CursorCase>& param_info) {
                           const int start = param_info.param.start;
                           return (start < 0 ? "Minus" : "") +
                                  std::to_string(start < 0 ? -start : start);
                         });

TEST(CursorLoops, ShowingStopsAtTheFirstCounterWhoseLow16BitsAreNotNegative) {
  FakePlatform platform(32, 32);
  platform.cursor_counter = 32767;  // the next value, 32768, reads as -32768
  frmOstrel form(platform);
  form.Mouse_On();
  EXPECT_EQ(platform.cursor_counter, 65536);
  EXPECT_EQ(platform.Calls("ShowCursor true").size(), 32769U);
}

TEST(CursorLoops, HidingLowersAtLeastOnceEvenWhenAlreadyHidden) {
  FakePlatform platform(32, 32);
  platform.cursor_counter = -1;
  frmOstrel form(platform);
  form.Mouse_Off();
  form.Mouse_Off();
  EXPECT_EQ(platform.cursor_counter, -3);
}

}  // namespace
}  // namespace ostrel
