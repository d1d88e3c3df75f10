// When an idle session may start the saver, one table of event sequences
// over two sources: a signalled one (the launcher's own
// org.freedesktop.ScreenSaver) and an asked one (the X server's
// suspension). The saver starts one idle time after the last hold ended
// or after simulated input, an asked hold is asked again once an idle
// time, the user's return ends the idle time, answers that come late start
// nothing. Also: logind's BlockInhibited read for idle, and the
// ScreenSaver holds' table.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "idle/hold_gate.h"
#include "idle/inhibit_table.h"

namespace ostrel {
namespace {

using std::chrono::milliseconds;

enum class Event { kIdle, kActive, kHeld, kFreed, kActivity, kAnswerHeld, kAnswerFree, kClock };
enum class Then { kNothing, kAsk, kStart };
constexpr int kSignalled = 0;
constexpr int kAsked = 1;
constexpr double kAfter = 10;  // seconds
constexpr double kNever = -1;       // not checked
constexpr double kNoDeadline = -2;  // nothing wakes: Deadline() is nullopt

struct Step {
  Event event;
  double at;  // seconds since the case began
  int source = kSignalled;
  Then then = Then::kNothing;
  double deadline = kNever;  // what Deadline() says afterwards
};

TEST(HoldGate, EventSequences) {
  const auto answers = [](double at, bool held_by_asked, Then then, double deadline = kNever) {
    return std::vector<Step>{{Event::kAnswerFree, at, kSignalled},
                             {held_by_asked ? Event::kAnswerHeld : Event::kAnswerFree, at, kAsked,
                              then, deadline}};
  };
  struct Case {
    const char* what;
    std::vector<std::vector<Step>> steps;
  };
  const std::vector<Case> cases = {
      {"nothing holds: the idle time asks, the last answer starts the saver, once",
       {{{Event::kIdle, 0, 0, Then::kAsk}},
        answers(0, false, Then::kStart),
        {{Event::kClock, 50}, {Event::kIdle, 60, 0, Then::kAsk}}}},
      {"a signalled hold: nothing asked or woken while held; one idle time after it lets go",
       {{{Event::kHeld, 0}, {Event::kIdle, 5, 0, Then::kNothing, kNoDeadline}, {Event::kClock, 100},
         {Event::kFreed, 100, kSignalled, Then::kNothing, 110},
         {Event::kClock, 109.9, 0, Then::kNothing, 110}, {Event::kClock, 110, 0, Then::kAsk}},
        answers(110, false, Then::kStart)}},
      {"a hold let go before the idle report: the report waits one idle time from the release",
       {{{Event::kHeld, 0}, {Event::kFreed, 8, kSignalled, Then::kNothing},
         {Event::kIdle, 10, 0, Then::kNothing, 18}, {Event::kClock, 18, 0, Then::kAsk}},
        answers(18, false, Then::kStart)}},
      {"an asked hold is asked again once an idle time, and starts it at the first free answer",
       {{{Event::kIdle, 0, 0, Then::kAsk}},
        answers(0, true, Then::kNothing, 10),
        {{Event::kClock, 10, 0, Then::kAsk}},
        answers(10, true, Then::kNothing, 20),
        {{Event::kClock, 20, 0, Then::kAsk}},
        answers(20, false, Then::kStart)}},
      {"an asked source's change signal counts like a signalled one's release",
       {{{Event::kIdle, 0, 0, Then::kAsk}},
        answers(0, true, Then::kNothing, 10),
        {{Event::kFreed, 4, kAsked, Then::kNothing, 14}, {Event::kClock, 14, 0, Then::kAsk}},
        answers(14, false, Then::kStart)}},
      {"the user's return ends the idle time: a later release starts nothing",
       {{{Event::kHeld, 0}, {Event::kIdle, 5}, {Event::kActive, 8},
         {Event::kFreed, 9, kSignalled, Then::kNothing, kNoDeadline}, {Event::kClock, 19},
         {Event::kIdle, 40, 0, Then::kAsk}}}},
      {"simulated input while asked: the saver waits one idle time from it",
       {{{Event::kIdle, 0, 0, Then::kAsk}, {Event::kActivity, 0.5}},
        answers(0.5, false, Then::kNothing, 10.5),
        {{Event::kClock, 10.5, 0, Then::kAsk}},
        answers(10.5, false, Then::kStart)}},
      {"answers that come after the user is back start nothing",
       {{{Event::kIdle, 0, 0, Then::kAsk}, {Event::kActive, 1}}, answers(1, false, Then::kNothing),
        {{Event::kClock, 30, 0, Then::kNothing, kNoDeadline}}}},
      {"a hold that begins while the sources are asked holds",
       {{{Event::kIdle, 0, 0, Then::kAsk}, {Event::kAnswerFree, 0, kSignalled},
         {Event::kHeld, 0.1}, {Event::kAnswerFree, 0.2, kAsked, Then::kNothing, kNoDeadline},
         {Event::kFreed, 3, kSignalled, Then::kNothing, 13}, {Event::kClock, 13, 0, Then::kAsk}}}},
  };
  const TimePoint t0 = Clock::now();
  const auto at = [t0](double seconds) {
    return t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HoldGate gate(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kAfter)));
    ASSERT_EQ(gate.AddSource(/*signalled=*/true), kSignalled);
    ASSERT_EQ(gate.AddSource(/*signalled=*/false), kAsked);
    int n = 0;
    for (const auto& group : c.steps) {
      for (const Step& step : group) {
        ++n;
        HoldGate::Step got;
        switch (step.event) {
          case Event::kIdle: got = gate.Idle(at(step.at)); break;
          case Event::kActive: gate.Active(); break;
          case Event::kHeld: got = gate.Changed(step.source, true, at(step.at)); break;
          case Event::kFreed: got = gate.Changed(step.source, false, at(step.at)); break;
          case Event::kActivity: got = gate.Activity(at(step.at)); break;
          case Event::kAnswerHeld: got = gate.Answered(step.source, true, at(step.at)); break;
          case Event::kAnswerFree: got = gate.Answered(step.source, false, at(step.at)); break;
          case Event::kClock: got = gate.DeadlinePassed(at(step.at)); break;
        }
        const Then then = got.start ? Then::kStart : got.ask ? Then::kAsk : Then::kNothing;
        EXPECT_EQ(then, step.then) << "step " << n << " at " << step.at << " s";
        const auto deadline = gate.Deadline();
        if (step.deadline == kNoDeadline) {
          EXPECT_FALSE(deadline.has_value()) << "step " << n << ": a wake-up while waiting";
        } else if (step.deadline != kNever) {
          ASSERT_TRUE(deadline.has_value()) << "step " << n << ": no deadline";
          EXPECT_EQ(*deadline, at(step.deadline)) << "step " << n;
        }
      }
    }
  }
}

TEST(HoldGate, LogindsBlockInhibitedNamesIdle) {
  EXPECT_TRUE(InhibitsIdle("idle"));
  EXPECT_TRUE(InhibitsIdle("shutdown:sleep:idle:handle-lid-switch"));
  EXPECT_TRUE(InhibitsIdle("idle:sleep"));
  EXPECT_FALSE(InhibitsIdle(""));
  EXPECT_FALSE(InhibitsIdle("shutdown:sleep"));
  EXPECT_FALSE(InhibitsIdle("idleness:sleep")) << "a longer word is not idle";
}

TEST(InhibitTable, HoldsEndWithTheirCallersOwnUnInhibitOrTheCallersLeaving) {
  InhibitTable table;
  const std::uint32_t video = table.Add(":1.7", "firefox-esr", "Playing video");
  const std::uint32_t game = table.Add(":1.9", "game", "Playing");
  const std::uint32_t second = table.Add(":1.7", "firefox-esr", "Playing audio");
  EXPECT_NE(video, 0U);
  EXPECT_NE(video, game);
  EXPECT_NE(video, second);
  EXPECT_FALSE(table.Remove(video, ":1.9")) << "another caller ended the hold";
  EXPECT_FALSE(table.Remove(12345, ":1.7")) << "an unknown cookie";
  EXPECT_TRUE(table.Remove(video, ":1.7"));
  EXPECT_FALSE(table.Remove(video, ":1.7")) << "ended twice";
  EXPECT_EQ(table.RemoveOwner(":1.9"), 1);
  EXPECT_TRUE(table.Holds(":1.7"));
  EXPECT_FALSE(table.empty()) << "the leaving caller took another's hold";
  EXPECT_EQ(table.RemoveOwner(":1.7"), 1);
  EXPECT_TRUE(table.empty());
}

}  // namespace
}  // namespace ostrel
