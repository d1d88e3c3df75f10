// Ending the run on user activity, through the window's event handlers.

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/fake/fake_platform.h"
#include "run/program.h"

namespace ostrel {
namespace {

// Runs the whole program against `events` and reports whether the run ended by
// itself (the window closed) before the queue ran dry.
struct ScriptedRun {
  explicit ScriptedRun(std::vector<FakeEvent> events) : platform(64, 48) {
    platform.queue.assign(events.begin(), events.end());
    status = RunProgram(platform);
  }
  bool Ended() const { return !platform.FormLoaded(); }
  std::size_t EventsLeft() const { return platform.queue.size(); }

  FakePlatform platform;
  int status = -1;
};

TEST(Latch, FirstMoveNeverEndsTheRun) {
  for (const auto& [x, y] :
       {std::pair{0.0F, 0.0F}, std::pair{123.0F, 456.0F}, std::pair{-15.0F, 1e6F}}) {
    ScriptedRun run({FakeEvent::Move(x, y), FakeEvent::Tick()});
    EXPECT_FALSE(run.Ended()) << x << "," << y;
    EXPECT_EQ(run.status, 0);
  }
}

TEST(Latch, MovesToTheFirstPositionNeverEndTheRun) {
  ScriptedRun run({FakeEvent::Move(300, 450), FakeEvent::Tick(), FakeEvent::Move(300, 450),
                   FakeEvent::Move(300, 450), FakeEvent::Tick()});
  EXPECT_FALSE(run.Ended());
}

TEST(Latch, OneTwipOffInEitherDirectionEndsTheRun) {
  for (const auto& [dx, dy] : {std::pair{1.0F, 0.0F}, std::pair{-1.0F, 0.0F}, std::pair{0.0F, 1.0F},
                               std::pair{0.0F, -1.0F}}) {
    ScriptedRun run(
        {FakeEvent::Move(300, 450), FakeEvent::Move(300 + dx, 450 + dy), FakeEvent::Tick()});
    EXPECT_TRUE(run.Ended()) << dx << "," << dy;
    EXPECT_EQ(run.EventsLeft(), 1U);
    EXPECT_EQ(run.status, 0);
  }
}

TEST(Latch, ComparisonIsExactNotRounded) {
  // 300.0001 is a different single-precision value from 300.
  ScriptedRun run({FakeEvent::Move(300.0F, 450.0F), FakeEvent::Move(300.0001F, 450.0F)});
  EXPECT_TRUE(run.Ended());
}

TEST(Latch, AwayAndBackEndsOnTheMoveAway) {
  ScriptedRun run(
      {FakeEvent::Move(300, 450), FakeEvent::Move(315, 450), FakeEvent::Move(300, 450)});
  EXPECT_TRUE(run.Ended());
  EXPECT_EQ(run.EventsLeft(), 1U);
}

TEST(Latch, TheLatchedPositionNeverMoves) {
  // The second report is not latched: a third at the second's position still ends.
  ScriptedRun run(
      {FakeEvent::Move(300, 450), FakeEvent::Move(300, 450), FakeEvent::Move(330, 450)});
  EXPECT_TRUE(run.Ended());
}

TEST(Latch, ClickKeyAndButtonsEachEndTheRunAtOnce) {
  for (const FakeEvent& event :
       {FakeEvent::Click(), FakeEvent::Key(65), FakeEvent::Key(16, 1), FakeEvent::Key(0, 7),
        FakeEvent::Down(1), FakeEvent::Down(2), FakeEvent::Down(4), FakeEvent::Up(1),
        FakeEvent{FakeEvent::Kind::kSystemClose}}) {
    ScriptedRun run({FakeEvent::Tick(), event, FakeEvent::Tick(), FakeEvent::Click()});
    EXPECT_TRUE(run.Ended()) << static_cast<int>(event.kind);
    // Nothing after the ending event is handled.
    EXPECT_EQ(run.EventsLeft(), 2U);
    EXPECT_EQ(run.platform.Calls("Circle").size(), 8U);
  }
}

TEST(Latch, ButtonPressEndsTheRunBeforeTheReleaseAndClick) {
  ScriptedRun run(
      {FakeEvent::Move(1, 1), FakeEvent::Down(1), FakeEvent::Up(1), FakeEvent::Click()});
  EXPECT_TRUE(run.Ended());
  EXPECT_EQ(run.EventsLeft(), 2U);
}

TEST(Latch, FormEndShowsTheCursorBeforeTheWindowCloses) {
  ScriptedRun run({FakeEvent::Key(27)});
  const auto& log = run.platform.log;
  const auto shown = std::find(log.begin(), log.end(), "ShowCursor true -> 0");
  const auto closed = std::find(log.begin(), log.end(), "UnloadForm");
  ASSERT_NE(shown, log.end());
  ASSERT_NE(closed, log.end());
  EXPECT_LT(shown, closed);
  // Only the hand-off after the run follows the window's closing.
  ASSERT_EQ(closed + 2, log.end());
  EXPECT_EQ(*(closed + 1), "FinishRun 0");
  EXPECT_EQ(run.platform.cursor_counter, 0);
}

}  // namespace
}  // namespace ostrel
