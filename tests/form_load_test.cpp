// The start of a run against the scripted platform: capture, cursor, reset, and
// the error path.

#include <gtest/gtest.h>

#include "platform/fake/fake_platform.h"
#include "run/frm_ostrel.h"
#include "run/program.h"

namespace ostrel {
namespace {

std::vector<std::string> CallsExceptDrawing(const FakePlatform& platform) {
  std::vector<std::string> calls;
  for (const std::string& call : platform.log) {
    if (call.rfind("Circle", 0) != 0 && call.rfind("Set", 0) != 0) calls.push_back(call);
  }
  return calls;
}

TEST(FormLoad, StartsTheRunInOrder) {
  FakePlatform platform(64, 48);
  platform.cursor_counter = 1;
  EXPECT_EQ(RunProgram(platform), 0);
  EXPECT_EQ(platform.log, (std::vector<std::string>{
                              "CreateForm Form1 1",
                              "KeybdEvent 44 1 0 0",
                              "DoEvents",
                              "ClipboardPicture",
                              "SetPicture",
                              "ShowCursor false -> 0",
                              "ShowCursor false -> -1",
                              "ScreenHeightTwips",
                              "ScreenWidthTwips",
                              "ShowForm",
                              "RunMessageLoop",
                              "FinishRun 0",
                          }));
}

TEST(FormLoad, CursorIsHiddenBeforeTheWindowIsShown) {
  FakePlatform platform(64, 48);
  platform.cursor_counter = 3;
  RunProgram(platform);
  ASSERT_TRUE(platform.cursor_counter_at_show.has_value());
  EXPECT_LT(*platform.cursor_counter_at_show, 0);
}

TEST(FormLoad, FirstFrameIsTheDesktopAndTheClipboardKeepsIt) {
  FakePlatform platform(64, 48);
  frmOstrel form(platform);
  platform.CreateForm(frmOstrel::kCaption, frmOstrel::kTimer1IntervalMs, form);
  form.Form_Load();
  EXPECT_TRUE(SamePixels(platform.Raster().Frame(), platform.Screen()));
  ASSERT_NE(platform.Clipboard(), nullptr);
  EXPECT_TRUE(SamePixels(*platform.Clipboard(), platform.Screen()));
  EXPECT_TRUE(platform.Calls("CaptureScreen").empty());
}

TEST(FormLoad, ResetsTheTrailsForTheScreenAndClearsTheLatch) {
  FakePlatform platform(1280, 720);
  frmOstrel form(platform);
  form.MouseSeen = true;
  form.TrailState.TickCount = 99;
  platform.CreateForm(frmOstrel::kCaption, frmOstrel::kTimer1IntervalMs, form);
  form.Form_Load();
  EXPECT_FALSE(form.MouseSeen);
  EXPECT_EQ(form.TrailState.TickCount, 1);
  EXPECT_EQ(form.TrailState.ScreenW, 19200.0F);
  EXPECT_EQ(form.TrailState.ScreenH, 10800);
  EXPECT_EQ(form.TrailState.Trails[3].HeadIndex, 30);
  EXPECT_EQ(form.TrailState.Trails[3].TailIndex, 1);
}

TEST(FormLoad, TickDuringTheYieldLeavesTheFrameUnchanged) {
  FakePlatform platform(64, 48);
  platform.during_yield = {FakeEvent::Tick()};
  frmOstrel form(platform);
  platform.CreateForm(frmOstrel::kCaption, frmOstrel::kTimer1IntervalMs, form);
  form.Form_Load();

  // The early tick found everything zero: slot 1 for all, circles at (0, 0).
  const auto circles = platform.Calls("Circle");
  ASSERT_EQ(circles.size(), 8U);
  for (std::size_t i = 0; i < circles.size(); i += 2) {
    EXPECT_EQ(circles[i], circles[i + 1]);
    EXPECT_EQ(circles[i].rfind("Circle 0 0 ", 0), 0U) << circles[i];
    EXPECT_NE(circles[i].rfind("Circle 0 0 0 ", 0), 0U) << "radius must not be 0";
  }
  ASSERT_TRUE(platform.frame_before_yield && platform.frame_after_yield);
  EXPECT_TRUE(SamePixels(*platform.frame_before_yield, *platform.frame_after_yield));
  // The reset then overwrote counter and indices; slot 1 keeps the early circle.
  EXPECT_EQ(form.TrailState.TickCount, 1);
  EXPECT_EQ(form.TrailState.Trails[0].HeadIndex, 30);
  EXPECT_GE(form.TrailState.Trails[0].Radius[1], 150);
}

TEST(FormLoad, RunEndedDuringTheYieldLeavesTheCursorVisibleAndNoWindow) {
  // A signal handled in the yield ends the run before the cursor was hidden.
  FakePlatform platform(64, 48);
  platform.during_yield = {FakeEvent{FakeEvent::Kind::kSystemClose}};
  EXPECT_EQ(RunProgram(platform), 0);
  EXPECT_EQ(platform.cursor_counter, 1);  // raised once by the ending, never lowered
  EXPECT_TRUE(platform.Calls("ShowCursor false").empty());
  EXPECT_TRUE(platform.Calls("ShowForm").empty());
  EXPECT_TRUE(platform.Calls("RunMessageLoop").empty());
}

TEST(FormLoad, EmptyClipboardFallsBackToADirectCopyOfTheScreen) {
  FakePlatform platform(64, 48);
  platform.print_screen_fills_clipboard = false;
  platform.Raster().Frame().Fill(0);  // so that only a real copy can match the screen
  RunProgram(platform);
  const auto calls = CallsExceptDrawing(platform);
  const auto at = [&](const std::string& call) {
    return std::find(calls.begin(), calls.end(), call) - calls.begin();
  };
  EXPECT_LT(at("ClipboardPicture"), at("CaptureScreen"));
  EXPECT_LT(at("CaptureScreen"), at("SetPicture"));
  EXPECT_TRUE(SamePixels(platform.Raster().Frame(), platform.Screen()));
}

TEST(FormLoad, AFailureShowsTheCursorAndClosesTheWindowBeforeTheReport) {
  FakePlatform platform(64, 48);
  platform.fail_on = "ScreenHeightTwips";  // after the cursor was hidden
  EXPECT_EQ(RunProgram(platform), 1);
  const auto calls = CallsExceptDrawing(platform);
  EXPECT_EQ(platform.cursor_counter, 0);
  // The report comes with the window gone, and the hand-off after it, with the
  // run's status.
  ASSERT_GE(calls.size(), 4U);
  EXPECT_EQ(calls[calls.size() - 4], "ShowCursor true -> 0");
  EXPECT_EQ(calls[calls.size() - 3], "UnloadForm");
  EXPECT_EQ(calls[calls.size() - 2], "ReportError ScreenHeightTwips failed");
  EXPECT_EQ(calls.back(), "FinishRun 1");
  EXPECT_TRUE(platform.Calls("ShowForm").empty());
}

TEST(FormLoad, AFailureBeforeTheCursorWasHiddenLeavesTheCursorAlone) {
  FakePlatform platform(64, 48);
  platform.fail_on = "ClipboardPicture";
  EXPECT_EQ(RunProgram(platform), 1);
  EXPECT_TRUE(platform.Calls("ShowCursor").empty());
  const auto calls = CallsExceptDrawing(platform);
  ASSERT_GE(calls.size(), 2U);
  EXPECT_EQ(calls[calls.size() - 2], "ReportError ClipboardPicture failed");
  EXPECT_FALSE(platform.FormLoaded());
}

TEST(FormLoad, AFailingTickEndsTheRunThroughTheErrorPath) {
  FakePlatform platform(64, 48);
  platform.queue = {FakeEvent::Tick(), FakeEvent::Tick()};
  platform.fail_on = "Circle";
  EXPECT_EQ(RunProgram(platform), 1);
  EXPECT_EQ(platform.cursor_counter, 0);
  EXPECT_FALSE(platform.FormLoaded());
  EXPECT_EQ(platform.queue.size(), 1U);
}

TEST(FormLoad, TallScreenRunsWithoutOverflow) {
  FakePlatform platform(64, 3840);  // 57600 twips tall
  platform.queue = {FakeEvent::Tick(), FakeEvent::Tick(), FakeEvent::Key(13)};
  EXPECT_EQ(RunProgram(platform), 0);
  EXPECT_TRUE(platform.Calls("ReportError").empty());
}

}  // namespace
}  // namespace ostrel
