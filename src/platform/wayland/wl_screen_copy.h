#pragma once

// The copy of every output's picture into the frame, with the compositor's
// screen-copy protocol, into shared memory.

#include <cstddef>
#include <span>
#include <string>

#include "platform/image.h"
#include "platform/software_surface.h"

struct wl_display;
struct wl_output;
struct wl_shm;
struct zwlr_screencopy_manager_v1;

namespace ostrel {

class ShmMemory;

// An output to copy and where its picture goes in the frame: its rectangle
// in frame pixels, which the copy is scaled to fill.
struct CaptureTarget {
  wl_output* output = nullptr;
  Rect place;
  int transform = 0;  // wl_output.transform
};

// The frame as memory the compositor can write into: a copy made for an
// output whose rows fit the frame's exactly goes straight there.
struct CaptureFrame {
  Image* pixels = nullptr;           // the frame
  const ShmMemory* memory = nullptr;  // the shared memory holding it
  std::size_t byte_offset = 0;       // where the frame starts in it
};

// Copies every target's picture into its place in the frame, waiting at most
// `timeout_ms` for all of them. Places whose copy failed stay as they were;
// returns a description of the failures (empty when all succeeded). Throws
// PlatformError when the connection fails.
std::string CaptureOutputs(wl_display* display, zwlr_screencopy_manager_v1* manager, wl_shm* shm,
                           const CaptureFrame& frame, std::span<const CaptureTarget> targets,
                           int timeout_ms);

}  // namespace ostrel
