#pragma once

// How the screen is copied into the frame: one way per kind of desktop (the
// wlroots screen-copy protocol, KWin's ScreenShot2, the XDG Screenshot
// portal), tried in that order until one works. Each copies every output's
// picture to its place in the frame.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

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
  // The frame holds the screen (places whose copy failed stay as they were).
  bool copied = false;
  // When copied: the failures of single outputs, if any. Otherwise why this
  // way does not work here, for the line that says the run goes on over black.
  std::string note;
  // An ending signal came meanwhile: nothing more is tried, and the loop
  // ends the run.
  bool interrupted = false;

  static ScreenCopyOutcome Copied(std::string failures = {}) {
    return {true, std::move(failures), false};
  }
  static ScreenCopyOutcome NotHere(std::string why) { return {false, std::move(why), false}; }
  static ScreenCopyOutcome Interrupted() { return {false, {}, true}; }
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

  // Copies every target's picture into its place in the frame (`frame_size`
  // pixels, the bounding box of the outputs at the largest scale), waiting
  // until `deadline_ns` (a monotonic clock's) at most. Throws PlatformError
  // when a connection fails, or when the desktop refuses the copy in a way
  // the user must answer (the run cannot go on as if nothing happened).
  virtual ScreenCopyOutcome Copy(const ScreenCopyDestination& frame,
                                 std::span<const ScreenCopyTarget> targets,
                                 std::int64_t deadline_ns) = 0;
};

}  // namespace ostrel
