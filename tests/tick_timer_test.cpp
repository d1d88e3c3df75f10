// The timer of the backends without one of their own: ticks on absolute
// deadlines, missed ones dropped, a fresh start after a long step.

#include <gtest/gtest.h>

#include "platform/tick_timer.h"

namespace ostrel {
namespace {

constexpr auto kP = TickTimer::kPeriod;
const TimePoint kStart = TimePoint(std::chrono::seconds(1));

TEST(TickTimer, TicksOnDeadlinesFromTheStart) {
  TickTimer timer;
  timer.Start(kStart);
  EXPECT_FALSE(timer.Due(kStart + kP - std::chrono::nanoseconds(1)));
  EXPECT_TRUE(timer.Due(kStart + kP));
  // A tick run late does not move the later deadlines: no drift.
  timer.Advance(kStart + kP + kP / 2);
  EXPECT_EQ(timer.NextDeadline(), kStart + 2 * kP);
  // After a stall the missed ticks are dropped, not run in a burst.
  timer.Advance(kStart + 5 * kP + kP / 2);
  EXPECT_EQ(timer.NextDeadline(), kStart + 6 * kP);
  EXPECT_FALSE(timer.Due(kStart + 5 * kP + kP / 2));
}

TEST(TickTimer, AStepOfSeveralPeriodsHoldsNoTickWhenStartedAfterIt) {
  // The window's timer runs from its creation; the screen copy then takes
  // several periods, and the timer starts again when it is done.
  TickTimer timer;
  timer.Start(kStart);
  const TimePoint copied = kStart + std::chrono::milliseconds(70);
  EXPECT_TRUE(timer.Due(copied)) << "without a fresh start a tick would fall into the copy";
  timer.Start(copied);
  EXPECT_FALSE(timer.Due(copied));
  EXPECT_EQ(timer.NextDeadline(), copied + kP);
  EXPECT_EQ(timer.NextTick(), 1);
}

}  // namespace
}  // namespace ostrel
