// The one wait, against real pipes: a descriptor at its end leaves the set,
// deadlines already past (a late launcher) wait nothing and fail nothing,
// sources due on time alone, what a preparation dispatches counts before
// sleeping, an interruption ends every wait, and handlers that change the
// set while it is being served.

#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <vector>

#include "platform/posix/waiter.h"

namespace ostrel {
namespace {

using namespace std::chrono_literals;

struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int fds[2];
    if (pipe(fds) == 0) {
      read = fds[0];
      write = fds[1];
    }
  }
  ~Pipe() {
    if (read >= 0) close(read);
    if (write >= 0) close(write);
  }
  void CloseWriter() {
    close(write);
    write = -1;
  }
};

TEST(Waiter, APipeAtItsEndLeavesTheSetInsteadOfWakingEveryWait) {
  Waiter waiter;
  Pipe pipe;
  std::vector<short> seen;
  const auto watch = waiter.Add(Waiter::Source::kPipe,
                                {.fd = pipe.read, .ready = [&](short revents) {
                                   seen.push_back(revents);
                                 }});
  pipe.CloseWriter();
  waiter.WaitOnce(Clock::now() + 1s);
  ASSERT_EQ(seen.size(), 1U);
  EXPECT_NE(seen[0] & POLLHUP, 0) << "its handler sees the end";
  EXPECT_EQ(waiter.Count(Waiter::Source::kPipe), 0);
  // Nothing else to wait for: the next wait sleeps to its deadline.
  const TimePoint before = Clock::now();
  waiter.WaitOnce(before + 60ms);
  EXPECT_EQ(seen.size(), 1U);
  EXPECT_GE(Clock::now() - before, 50ms) << "the ended pipe woke the wait";
}

TEST(Waiter, AHungUpPipeStaysUntilItsLastByteIsRead) {
  // A writer that wrote and left: the end is seen with the data still
  // there, and the handler takes a little at each wake.
  Waiter waiter;
  Pipe pipe;
  const std::vector<char> written(60 * 1024, 'x');
  ASSERT_EQ(write(pipe.write, written.data(), written.size()),
            static_cast<ssize_t>(written.size()));
  pipe.CloseWriter();
  std::size_t got = 0;
  const auto watch = waiter.Add(Waiter::Source::kPipe,
                                {.fd = pipe.read, .ready = [&](short) {
                                   char piece[4096];
                                   const ssize_t n = read(pipe.read, piece, sizeof piece);
                                   if (n > 0) got += static_cast<std::size_t>(n);
                                 }});
  for (int i = 0; i < 100 && waiter.Count(Waiter::Source::kPipe) > 0; ++i) {
    waiter.WaitOnce(Clock::now() + 1s);
  }
  EXPECT_EQ(got, written.size()) << "the pipe left the set with data unread";
  EXPECT_EQ(waiter.Count(Waiter::Source::kPipe), 0);
}

TEST(Waiter, DeadlinesAndDueTimes) {
  struct Case {
    const char* what;
    Clock::duration due;             // of a source without a descriptor
    Clock::duration deadline;        // of the wait
    bool ran;                        // the source's handler
    Clock::duration at_least;        // how long the wait took
    Clock::duration at_most;
  };
  const Case cases[] = {
      {"both long past (a launcher that ran late)", -1s, -1s, true, 0s, 50ms},
      {"due before the deadline", 40ms, 2s, true, 30ms, 1s},
      {"the deadline before it is due", 2s, 40ms, false, 30ms, 1s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Waiter waiter;
    const TimePoint start = Clock::now();
    bool ran = false;
    const auto timer = waiter.Add(Waiter::Source::kTimer,
                                  {.due = [&] { return std::optional(start + c.due); },
                                   .ready = [&](short) { ran = true; }});
    EXPECT_NO_THROW(waiter.WaitOnce(start + c.deadline));
    const auto took = Clock::now() - start;
    EXPECT_EQ(ran, c.ran);
    EXPECT_GE(took, c.at_least);
    EXPECT_LE(took, c.at_most);
  }
  Waiter waiter;
  EXPECT_EQ(waiter.WaitUntil([] { return false; }, Clock::now() - 1s), Waiter::End::kDeadline);
  // Due "now" whenever asked: events read already, waiting in a queue.
  bool queued_ran = false;
  const auto queued = waiter.Add(Waiter::Source::kDisplay,
                                 {.due = [] { return std::optional(Clock::now()); },
                                  .ready = [&](short) { queued_ran = true; }});
  const TimePoint before = Clock::now();
  waiter.WaitOnce(before + 1s);
  EXPECT_TRUE(queued_ran);
  EXPECT_LT(Clock::now() - before, 100ms);
}

TEST(Waiter, WhatAPreparationDispatchesCountsBeforeTheWaitSleeps) {
  // A connection's events already read and queued: poll cannot see them.
  Waiter waiter;
  Pipe pipe;
  bool queued_event_handled = false;
  const auto connection = waiter.Add(Waiter::Source::kDisplay,
                                     {.fd = pipe.read,
                                      .prepare =
                                          [&] {
                                            queued_event_handled = true;
                                            return static_cast<short>(POLLIN);
                                          },
                                      .ready = [](short) {}});
  const TimePoint start = Clock::now();
  EXPECT_EQ(waiter.WaitUntil([&] { return queued_event_handled; }, start + 2s),
            Waiter::End::kDone);
  EXPECT_LT(Clock::now() - start, 500ms);
}

TEST(Waiter, AnInterruptionEndsThisWaitAndEveryLaterOne) {
  Waiter waiter;
  Pipe signals;
  const auto watch = waiter.Add(Waiter::Source::kSignals, {.fd = signals.read, .ready = [&](short) {
                                                             char byte;
                                                             EXPECT_EQ(read(signals.read, &byte, 1), 1);
                                                             waiter.Interrupt();
                                                           }});
  ASSERT_EQ(write(signals.write, "x", 1), 1);
  EXPECT_EQ(waiter.WaitUntil([] { return false; }, Clock::now() + 5s), Waiter::End::kInterrupted);
  const TimePoint start = Clock::now();
  EXPECT_EQ(waiter.WaitUntil([] { return false; }, start + 5s), Waiter::End::kInterrupted);
  EXPECT_LT(Clock::now() - start, 100ms);
}

TEST(Waiter, HandlersMayRemoveThemselvesAndAddOthers) {
  Waiter waiter;
  Pipe first;
  Pipe second;
  std::vector<Waiter::Registration> watches;
  int first_calls = 0;
  int second_calls = 0;
  watches.push_back(waiter.Add(Waiter::Source::kPipe, {.fd = first.read, .ready = [&](short) {
                                                         ++first_calls;
                                                         // Frees its own registration, and
                                                         // grows the vector that held it.
                                                         watches.clear();
                                                         for (int i = 0; i < 8; ++i) {
                                                           watches.push_back(waiter.Add(
                                                               Waiter::Source::kPipe,
                                                               {.fd = second.read,
                                                                .ready = [&](short) {
                                                                  ++second_calls;
                                                                  watches.clear();
                                                                }}));
                                                         }
                                                       }}));
  ASSERT_EQ(write(first.write, "x", 1), 1);
  ASSERT_EQ(write(second.write, "x", 1), 1);
  waiter.WaitOnce(Clock::now() + 1s);
  EXPECT_EQ(first_calls, 1);
  EXPECT_EQ(second_calls, 0) << "a source added in a round waits for the next one";
  waiter.WaitOnce(Clock::now() + 1s);
  EXPECT_EQ(first_calls, 1) << "a removed source ran again";
  EXPECT_EQ(second_calls, 1) << "the first of the new ones removes them all";
  EXPECT_EQ(waiter.Count(Waiter::Source::kPipe), 0);
}

}  // namespace
}  // namespace ostrel
