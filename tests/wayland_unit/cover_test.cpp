// The covers as the window's bookkeeping sees them after each dispatch:
// buffers given back, covers closed, gone or showing a still picture, and
// the end of the run once none is left.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/wayland/cover/cover.h"
#include "platform/wayland/cover/wl_cover_role.h"

namespace ostrel {
namespace {

class FakeCover final : public Cover {
 public:
  bool closed = false;
  bool still = false;
  bool released[FrameCopies::kCopies] = {false, false};
  std::vector<int> shown;  // the frame copy of each commit

  bool Closed() const override { return closed; }
  bool ShowsFrameCopies() const override { return !still; }
  bool TakeBufferRelease(int copy) override {
    const bool was = released[copy];
    released[copy] = false;
    return was;
  }
  void ShowFrameCopy(int copy, std::span<const Rect>) override { shown.push_back(copy); }
};

const Rect kFrame{0, 0, 40, 20};
const std::vector<Rect> kTwoOutputs = {{0, 0, 20, 20}, {20, 0, 20, 20}};

TEST(Covers, TheRunEndsWhenNoCoverIsLeft) {
  struct Case {
    const char* name;
    // What happens to cover 0, cover 1 and a still cover (of an output that
    // came later) before the dispatch: 'o' open, 'c' closed, 'g' gone, 's'
    // showing a still picture, '-' no such cover.
    std::string covers;
    bool run_over;
  };
  const std::vector<Case> cases = {
      {"both shown", "oo-", false},
      {"one closed", "co-", false},
      {"both closed", "cc-", true},
      {"one output gone, the other closed", "gc-", true},
      {"both outputs gone", "gg-", true},
      {"a cover showing a still picture still shows", "cs-", false},
      {"an output that came later keeps the window shown", "cco", false},
      {"and when it closes too, the run is over", "ccc", true},
  };
  for (const Case& c : cases) {
    FakeCover covers[3];
    std::vector<Cover*> frame_covers = {&covers[0], &covers[1]};
    std::vector<Cover*> still_covers;
    for (int i = 0; i < 3; ++i) {
      const char state = c.covers[static_cast<std::size_t>(i)];
      covers[i].closed = state == 'c';
      covers[i].still = state == 's';
      if (i < 2 && state == 'g') frame_covers[static_cast<std::size_t>(i)] = nullptr;
      if (i == 2 && state != '-') still_covers.push_back(&covers[2]);
    }
    FrameCopies copies(kFrame, kTwoOutputs);
    EXPECT_EQ(CollectCovers(copies, frame_covers, still_covers), c.run_over) << c.name;
  }
}

TEST(Covers, AnOutputNoLongerShownFromTheCopiesIsNotWaitedFor) {
  for (const char* how : {"closed", "gone", "still"}) {
    FakeCover covers[2];
    std::vector<Cover*> frame_covers = {&covers[0], &covers[1]};
    FrameCopies copies(kFrame, kTwoOutputs);
    PresentCovers(copies, frame_covers);  // both show copy 0
    copies.BeforeTick();                  // drawing moves to copy 1, never shown
    const Rect everywhere{0, 0, 40, 20};
    copies.Changed({&everywhere, 1});
    PresentCovers(copies, frame_covers);  // both show copy 1 and hold both copies

    // Output 1 gives copy 0 back; output 0 never will.
    covers[1].released[0] = true;
    if (std::string(how) == "closed") covers[0].closed = true;
    if (std::string(how) == "still") covers[0].still = true;
    if (std::string(how) == "gone") frame_covers[0] = nullptr;
    EXPECT_FALSE(CollectCovers(copies, frame_covers, {})) << how;
    EXPECT_TRUE(copies.BeforeTick().moved) << how << ": drawing waits for an output not shown";
    copies.Changed({&everywhere, 1});
    PresentCovers(copies, frame_covers);
    EXPECT_EQ(covers[1].shown, (std::vector<int>{0, 1, 0})) << how;
    EXPECT_EQ(covers[0].shown, (std::vector<int>{0, 1})) << how << ": shown after it went";
  }
}

// A role whose acknowledgements are recorded instead of sent.
class FakeRole final : public CoverRole {
 public:
  std::vector<std::uint32_t> acked;
  void Configure(std::uint32_t serial, LogicalSize size) { OnConfigure(serial, size); }
  void Free(FreeMode) override {}

 private:
  void Acknowledge(std::uint32_t serial) override { acked.push_back(serial); }
};

TEST(Covers, EachConfigureIsAcknowledgedOnceBeforeTheBufferItsSizeNeeds) {
  FakeRole role;
  role.AckConfigure();
  EXPECT_TRUE(role.acked.empty()) << "acknowledged before any configure";
  role.Configure(1, {800, 600});
  EXPECT_TRUE(role.acked.empty()) << "acknowledged before a buffer of its size";
  role.AckConfigure();
  role.AckConfigure();
  EXPECT_EQ(role.acked, (std::vector<std::uint32_t>{1}));
  // The same size again (a compositor's state change): at once, the buffers kept.
  role.Configure(2, {800, 600});
  role.Configure(3, {800, 600});
  EXPECT_EQ(role.acked, (std::vector<std::uint32_t>{1, 2, 3}));
  // A new size waits for the buffer drawn at it.
  role.Configure(4, {1024, 768});
  EXPECT_EQ(role.acked, (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(role.ConfiguredSize(), (LogicalSize{1024, 768}));
  role.AckConfigure();
  EXPECT_EQ(role.acked, (std::vector<std::uint32_t>{1, 2, 3, 4}));
}

}  // namespace
}  // namespace ostrel
