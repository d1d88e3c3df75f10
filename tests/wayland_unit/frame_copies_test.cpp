// The bookkeeping of the frame's two copies: which copy is drawn into, what
// it lacks when drawing moves there, and what each output's commit damages.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "platform/image.h"
#include "platform/wayland/cover/frame_copies.h"

namespace ostrel {
namespace {

const Rect kFrame{0, 0, 40, 20};
const std::vector<Rect> kTwoOutputs = {{0, 0, 20, 20}, {20, 0, 20, 20}};

std::vector<Rect> Damage(const std::vector<FrameCopies::Commit>& commits, int output) {
  for (const auto& commit : commits) {
    if (commit.output == output) return commit.damage;
  }
  return {};
}

TEST(FrameCopies, StepsOfARun) {
  FrameCopies copies(kFrame, kTwoOutputs);
  // Shown first: every output whole, from copy 0.
  auto commits = copies.TakeCommits();
  ASSERT_EQ(commits.size(), 2U);
  EXPECT_EQ(commits[0].copy, 0);
  EXPECT_EQ(Damage(commits, 0), (std::vector<Rect>{{0, 0, 20, 20}}));
  EXPECT_EQ(Damage(commits, 1), (std::vector<Rect>{{0, 0, 20, 20}}));
  EXPECT_TRUE(copies.TakeCommits().empty()) << "nothing new, nothing to commit";

  // First tick: copy 1 was never shown, so drawing moves there, after the
  // whole frame is brought over.
  auto move = copies.BeforeTick();
  EXPECT_TRUE(move.moved);
  EXPECT_EQ(move.from, 0);
  EXPECT_EQ(move.to, 1);
  EXPECT_EQ(move.rects, (std::vector<Rect>{kFrame}));
  const Rect across{15, 5, 10, 4};  // on both outputs
  copies.Changed({&across, 1});
  commits = copies.TakeCommits();
  ASSERT_EQ(commits.size(), 2U);
  EXPECT_EQ(commits[1].copy, 1);
  EXPECT_EQ(Damage(commits, 0), (std::vector<Rect>{{15, 5, 5, 4}}));
  EXPECT_EQ(Damage(commits, 1), (std::vector<Rect>{{0, 5, 5, 4}}));  // in its own pixels

  // Copy 0 is still held on output 1: drawing stays in copy 1, and nothing is
  // committed while the compositor holds copy 1 too.
  copies.Released(0, 0);
  move = copies.BeforeTick();
  EXPECT_FALSE(move.moved);
  EXPECT_EQ(move.to, 1);
  const Rect left{2, 2, 3, 3};
  copies.Changed({&left, 1});
  EXPECT_TRUE(copies.TakeCommits().empty());

  // Both give copy 0 back: drawing moves there after taking both ticks'
  // changes, and output 0's commit carries both ticks' damage.
  copies.Released(1, 0);
  move = copies.BeforeTick();
  EXPECT_TRUE(move.moved);
  EXPECT_EQ(move.to, 0);
  EXPECT_EQ(move.rects, (std::vector<Rect>{across, left}));
  commits = copies.TakeCommits();
  EXPECT_EQ(Damage(commits, 0), (std::vector<Rect>{{2, 2, 3, 3}}));
  // Output 1 got this one already: it is committed with one pixel damaged
  // (the same in both copies), only so that the compositor gives copy 1 back.
  ASSERT_EQ(commits.size(), 2U);
  EXPECT_EQ(commits[1].output, 1);
  EXPECT_EQ(Damage(commits, 1), (std::vector<Rect>{{0, 0, 1, 1}}));
}

// The compositor gives an output's buffer back only when that output commits
// another (wlroots). An output nothing is drawn on must not keep drawing from
// moving, or no output would be shown anything new.
TEST(FrameCopies, AnOutputNothingIsDrawnOnDoesNotStopTheOthers) {
  FrameCopies copies(kFrame, kTwoOutputs);
  int shown[2] = {-1, -1};  // the copy each output shows
  const auto commit = [&] {
    bool committed[2] = {false, false};
    for (const auto& c : copies.TakeCommits()) {
      if (shown[c.output] >= 0) copies.Released(c.output, shown[c.output]);
      shown[c.output] = c.copy;
      committed[c.output] = true;
    }
    return committed[0];
  };
  commit();
  const Rect on_output_0{2, 2, 5, 5};
  for (int tick = 0; tick < 8; ++tick) {
    copies.BeforeTick();
    copies.Changed({&on_output_0, 1});
    EXPECT_TRUE(commit()) << "tick " << tick << ": output 0 shows nothing new";
  }
}

TEST(FrameCopies, AnOutputGoneIsNeitherWaitedForNorShown) {
  FrameCopies copies(kFrame, kTwoOutputs);
  copies.TakeCommits();
  copies.BeforeTick();  // to copy 1
  const Rect all = kFrame;
  copies.Changed({&all, 1});
  copies.TakeCommits();  // both outputs hold copy 0 and copy 1 now
  copies.Released(0, 0);
  EXPECT_FALSE(copies.BeforeTick().moved);
  copies.OutputGone(1);
  EXPECT_TRUE(copies.BeforeTick().moved) << "the closed output's buffer is not waited for";
  copies.Changed({&all, 1});
  const auto commits = copies.TakeCommits();
  ASSERT_EQ(commits.size(), 1U);
  EXPECT_EQ(commits[0].output, 0);
}

TEST(FrameCopies, LongListsOfRectanglesBecomeTheirBoundingBox) {
  std::vector<Rect> rects;
  for (int i = 0; i < 40; ++i) AddRect(rects, {i, 2 * i, 1, 1}, {0, 0, 100, 100}, 32);
  EXPECT_EQ(rects.size(), 8U);  // 33 merged into 1, then 7 more
  EXPECT_EQ(rects[0], (Rect{0, 0, 33, 65}));
  // Clipped to the bounds; nothing left, nothing added.
  AddRect(rects, {-5, -5, 10, 10}, {0, 0, 100, 100}, 32);
  EXPECT_EQ(rects.back(), (Rect{0, 0, 5, 5}));
  const std::size_t before = rects.size();
  AddRect(rects, {200, 0, 10, 10}, {0, 0, 100, 100}, 32);
  AddRect(rects, {10, 10, 0, 5}, {0, 0, 100, 100}, 32);
  EXPECT_EQ(rects.size(), before);
}

// A compositor that keeps what each output shows, updated at a commit only
// where the commit says it changed, and gives buffers back at random.
TEST(FrameCopies, WhatTheOutputsShowIsAlwaysTheFrameAtEachCommit) {
  const std::vector<Rect> outputs = {{0, 0, 16, 12}, {16, 0, 24, 12}, {0, 12, 40, 8}};
  std::mt19937 random(7);
  for (int run = 0; run < 20; ++run) {
    FrameCopies copies(kFrame, outputs);
    Image truth(kFrame.width, kFrame.height);
    for (int y = 0; y < truth.Height(); ++y) {
      for (int x = 0; x < truth.Width(); ++x)
        truth.At(x, y) = static_cast<std::uint32_t>(x * 97 + y);
    }
    Image copy[2] = {truth.Clone(), Image(kFrame.width, kFrame.height)};
    std::vector<Image> shown;
    for (std::size_t i = 0; i < outputs.size(); ++i)
      shown.emplace_back(kFrame.width, kFrame.height);
    std::vector<std::vector<bool>> held(outputs.size(), std::vector<bool>(2, false));

    const auto commit_all = [&] {
      for (const auto& commit : copies.TakeCommits()) {
        const auto o = static_cast<std::size_t>(commit.output);
        const auto c = static_cast<std::size_t>(commit.copy);
        ASSERT_FALSE(held[o][c]) << "a buffer the compositor holds was committed";
        held[o][c] = true;
        const Rect& place = outputs[o];
        for (const Rect& d : commit.damage) {
          for (int y = d.y; y < d.y + d.height; ++y) {
            for (int x = d.x; x < d.x + d.width; ++x) {
              shown[o].At(place.x + x, place.y + y) = copy[c].At(place.x + x, place.y + y);
            }
          }
        }
        for (int y = place.y; y < place.y + place.height; ++y) {
          for (int x = place.x; x < place.x + place.width; ++x) {
            ASSERT_EQ(shown[o].At(x, y), truth.At(x, y))
                << "run " << run << " output " << o << " at " << x << "," << y;
          }
        }
      }
    };
    commit_all();
    for (int tick = 0; tick < 200; ++tick) {
      // The compositor gives back, at random, buffers it holds.
      for (std::size_t o = 0; o < outputs.size(); ++o) {
        for (int c = 0; c < 2; ++c) {
          if (held[o][static_cast<std::size_t>(c)] && random() % 3 == 0) {
            held[o][static_cast<std::size_t>(c)] = false;
            copies.Released(static_cast<int>(o), c);
          }
        }
      }
      const FrameCopies::Move move = copies.BeforeTick();
      CopyRects(copy[move.from], copy[move.to], move.rects);
      ASSERT_TRUE(SamePixels(copy[copies.Current()], truth)) << "run " << run << " tick " << tick;
      // The tick draws a few rectangles, some partly outside the frame.
      std::vector<Rect> drawn;
      for (int n = static_cast<int>(random() % 4); n > 0; --n) {
        const Rect r{static_cast<int>(random() % 46) - 3, static_cast<int>(random() % 26) - 3,
                     static_cast<int>(random() % 9) + 1, static_cast<int>(random() % 9) + 1};
        const Rect inside = Intersection(r, kFrame);
        for (int y = inside.y; y < inside.y + inside.height; ++y) {
          for (int x = inside.x; x < inside.x + inside.width; ++x) {
            copy[copies.Current()].At(x, y) ^= 0xFFU;
            truth.At(x, y) ^= 0xFFU;
          }
        }
        if (inside.width > 0 && inside.height > 0) drawn.push_back(inside);
      }
      copies.Changed(drawn);
      commit_all();
    }
  }
}

}  // namespace
}  // namespace ostrel
