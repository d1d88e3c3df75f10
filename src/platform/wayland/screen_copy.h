#pragma once

// How the screen is copied into the frame: one way per kind of compositor
// (the wlroots screen-copy protocol today), chosen when the backend opens.
// Each copies every output's picture to its place in the frame.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/image.h"
#include "platform/rect.h"

struct wl_output;

namespace ostrel {

class ShmMemory;

// An output to copy and where its picture goes in the frame: its rectangle
// in frame pixels, which the copy is scaled to fill.
struct ScreenCopyTarget {
  wl_output* output = nullptr;
  Rect place;
  int transform = 0;  // wl_output.transform
};

// The frame as memory the compositor can write into: a copy made for an
// output whose rows fit the frame's exactly may go straight there.
struct ScreenCopyDestination {
  Image* pixels = nullptr;           // the frame
  const ShmMemory* memory = nullptr;  // the shared memory holding it
  std::size_t byte_offset = 0;       // where the frame starts in it
};

class ScreenCopier {
 public:
  virtual ~ScreenCopier() = default;

  // Copies every target's picture into its place in the frame, waiting
  // until `deadline_ns` (a monotonic clock's) at most. Places whose copy
  // failed stay as they were; returns a description of the failures (empty
  // when all succeeded). Throws PlatformError when the connection fails.
  virtual std::string Copy(const ScreenCopyDestination& frame,
                           std::span<const ScreenCopyTarget> targets,
                           std::int64_t deadline_ns) = 0;
};

}  // namespace ostrel
