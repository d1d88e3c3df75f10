// The screen cast's reader against a real PipeWire: a private pipewire and
// its session manager (which links a stream to the node it names) on a
// private session bus, and a test source (pipewire_source.c) sending its
// picture in the byte orders a producer may use, in memory files. Skipped
// where pipewire or wireplumber is missing.

#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "../dbus/child_process.h"
#include "../dbus/private_bus.h"
#include "platform/clock.h"
#include "platform/image.h"
#include "platform/posix/waiter.h"
#include "platform/wayland/screen_copy/pipewire_frames.h"
#include "test_picture.h"

namespace ostrel {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;

constexpr int kWidth = 64;
constexpr int kHeight = 48;

// PipeWire and wireplumber in a runtime folder of their own, as a desktop
// session runs them.
class PrivatePipeWire {
 public:
  PrivatePipeWire() {
    if (bus_.address().empty()) {
      error_ = bus_.error();
      return;
    }
    char folder[] = "/tmp/ostrel-pipewire-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
      error_ = "no runtime folder";
      return;
    }
    folder_ = folder;
    // Where the daemons keep their state: in the folder, not the user's.
    environment_ = {"XDG_RUNTIME_DIR=" + folder_, "XDG_CONFIG_HOME=" + folder_ + "/config",
                    "XDG_STATE_HOME=" + folder_ + "/state",
                    "DBUS_SESSION_BUS_ADDRESS=" + bus_.address()};
    unsetenv("PIPEWIRE_REMOTE");
    unsetenv("PIPEWIRE_RUNTIME_DIR");
    pipewire_ = ChildProcess({"pipewire"}, environment_);
    if (!pipewire_.started()) {
      error_ = pipewire_.error() + " (Debian package pipewire)";
      return;
    }
    for (const auto end = Clock::now() + 10s;
         !std::filesystem::exists(folder_ + "/pipewire-0") && Clock::now() < end;) {
      std::this_thread::sleep_for(10ms);
    }
    wireplumber_ = ChildProcess({"wireplumber"}, environment_);
    if (!wireplumber_.started()) error_ = wireplumber_.error() + " (Debian package wireplumber)";
  }
  ~PrivatePipeWire() {
    wireplumber_ = ChildProcess();
    pipewire_ = ChildProcess();
    std::error_code ignored;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
  }

  const std::string& error() const { return error_; }
  const std::string& folder() const { return folder_; }
  const std::vector<std::string>& environment() const { return environment_; }

 private:
  testing::PrivateBus bus_;
  std::string folder_;
  std::vector<std::string> environment_;
  ChildProcess pipewire_;
  ChildProcess wireplumber_;
  std::string error_;
};

struct Source {
  const char* order;  // BGRx (mutter's) or RGBx
  std::uint32_t seed;
  bool corrupted_first;  // a picture marked corrupted, to pass over, first
  Rect place;
};

// Pixels of `place` in `frame` that are not the source's picture.
int Wrong(const Image& frame, const Source& source) {
  int wrong = 0;
  for (int y = 0; y < source.place.height; ++y) {
    for (int x = 0; x < source.place.width; ++x) {
      wrong += frame.At(source.place.x + x, source.place.y + y) !=
               ostrel_test_picture(source.seed, static_cast<std::uint32_t>(x),
                                   static_cast<std::uint32_t>(y));
    }
  }
  return wrong;
}

TEST(PipeWireFrames, EachStreamsFirstWholePictureInItsPlace) {
  PrivatePipeWire pipewire;
  if (!pipewire.error().empty()) GTEST_SKIP() << pipewire.error();
  setenv("XDG_RUNTIME_DIR", pipewire.folder().c_str(), 1);
  const Rect left{0, 0, kWidth, kHeight};
  const Rect right{kWidth, 0, kWidth, kHeight};
  const struct {
    const char* name;
    std::vector<Source> sources;
  } cases[] = {
      {"mutter's byte order", {{"BGRx", 1, false, left}}},
      {"the other byte order", {{"RGBx", 2, false, left}}},
      {"a picture marked corrupted first", {{"BGRx", 3, true, left}}},
      {"two streams, each into its own place",
       {{"RGBx", 5, false, right}, {"BGRx", 6, false, left}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<ChildProcess> sources;
    std::vector<std::uint32_t> nodes;
    for (const Source& source : c.sources) {
      std::vector<std::string> argv = {OSTREL_PW_SOURCE, source.order, std::to_string(kWidth),
                                       std::to_string(kHeight), std::to_string(source.seed)};
      if (source.corrupted_first) argv.emplace_back("corrupted");
      sources.emplace_back(argv, pipewire.environment());
      const std::string said = sources.back().ReadLine(10s);
      ASSERT_EQ(said.rfind("node ", 0), 0U) << "the source said \"" << said << "\"";
      nodes.push_back(static_cast<std::uint32_t>(std::stoul(said.substr(5))));
    }
    Image frame(2 * kWidth, kHeight);
    frame.Fill(0x777777);
    Waiter waiter;
    PipeWireFrames frames(waiter);
    std::vector<std::size_t> asked;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      asked.push_back(frames.Receive(nodes[i], frame, c.sources[i].place));
    }
    ASSERT_EQ(waiter.WaitUntil([&] { return frames.Done(); }, Clock::now() + 10s),
              Waiter::End::kDone);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      EXPECT_EQ(frames.Failure(asked[i]), "");
      EXPECT_EQ(Wrong(frame, c.sources[i]), 0) << "of " << kWidth * kHeight << " in stream " << i;
    }
    if (c.sources.size() == 1) {
      int written = 0;  // outside its place
      for (int y = 0; y < kHeight; ++y) {
        for (int x = kWidth; x < 2 * kWidth; ++x) written += frame.At(x, y) != 0x777777U;
      }
      EXPECT_EQ(written, 0);
    }
  }
}

}  // namespace
}  // namespace ostrel
