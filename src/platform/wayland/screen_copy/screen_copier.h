#pragma once

// How the screen is copied into the frame: one way per kind of desktop (the
// wlroots screen-copy protocol, KWin's ScreenShot2, GNOME's screen cast, the
// XDG Screenshot portal), tried in that order by the ScreenCopyChain until one copies. Every
// way keeps one contract: it copies each output's picture to its place in
// the frame within the deadline it is given, and answers with one of the
// outcomes below.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/image.h"
#include "platform/rect.h"

struct wl_output;

namespace ostrel {

class ShmMemory;

// An output to copy and where its picture goes in the frame: its rectangle
// in frame pixels, which the copy is scaled to fill.
struct ScreenCopyTarget {
  wl_output* output = nullptr;
  std::string name;  // the output's connector name (xdg_output), such as "DP-1"
  Rect place;
  int transform = 0;  // wl_output.transform
};

// What a way of copying the screen came to.
struct ScreenCopyOutcome {
  enum class Kind {
    kCopied,       // every output is in the frame
    kPartly,       // some are; `failed` says which are not, and why
    kNotHere,      // this way does not work here (`why`); the next is tried
    kInterrupted,  // an ending signal came: nothing more is tried
  };
  struct FailedOutput {
    std::size_t target = 0;  // its index among the targets
    std::string why;
  };

  Kind kind = Kind::kNotHere;
  std::vector<FailedOutput> failed;
  std::string why;
  // Not here although the way is there (every output failed): said even
  // when a later way copies, for it may need the user's attention.
  bool failed_here = false;

  static ScreenCopyOutcome Copied() { return {Kind::kCopied, {}, {}, false}; }
  static ScreenCopyOutcome NotHere(std::string why) {
    return {Kind::kNotHere, {}, std::move(why), false};
  }
  static ScreenCopyOutcome FailedHere(std::string why) {
    return {Kind::kNotHere, {}, std::move(why), true};
  }
  static ScreenCopyOutcome Interrupted() { return {Kind::kInterrupted, {}, {}, false}; }
  // The answer of a way that copies output by output, from the outputs that
  // failed among `targets` of them: copied when none did, partly when some
  // did, not here when all did (another way may copy them all).
  static ScreenCopyOutcome OfOutputs(std::vector<FailedOutput> failed, std::size_t targets);
};

// The frame as memory the compositor can write into: a copy made for an
// output whose rows fit the frame's exactly may go straight there.
struct ScreenCopyDestination {
  Image* pixels = nullptr;            // the frame
  const ShmMemory* memory = nullptr;  // the shared memory holding it
  std::size_t byte_offset = 0;        // where the frame starts in it
};

class ScreenCopier {
 public:
  virtual ~ScreenCopier() = default;

  // The way's name in the user's lines, such as "GNOME's screen cast".
  virtual std::string_view Name() const = 0;
  // How long this way may take: the chain gives it a deadline this far away.
  virtual Clock::duration Patience() const { return std::chrono::seconds(2); }

  // Copies every target's picture into its place in the frame, returning by
  // `deadline` at the latest. Throws PlatformError when a connection fails,
  // or when the desktop refuses the copy in a way the user must answer (the
  // run cannot go on as if nothing happened).
  virtual ScreenCopyOutcome Copy(const ScreenCopyDestination& frame,
                                 std::span<const ScreenCopyTarget> targets,
                                 TimePoint deadline) = 0;
};

}  // namespace ostrel
