#pragma once

// One buffer of GNOME's screen cast read into the frame: which buffers are
// pictures of the screen, where the picture lies in its memory, and a
// memory file read without being mapped. Plain (SPA's buffer types are plain
// C structs), tested on its own.

#include <cstdint>
#include <string>

#include "platform/image.h"
#include "platform/rect.h"
#include "platform/wayland/screen_copy/raw_rows.h"

struct spa_buffer;

namespace ostrel {

// The stream's negotiated frames: their size and 32-bit pixel order.
struct ScreenCastFormat {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  ByteOrder order = ByteOrder::kBgrx;
};

struct ScreenCastRead {
  enum class Outcome {
    kSkipped,  // not a picture of the screen (corrupted, or empty): the next one is
    kCopied,   // the frame's place holds it
    kFailed,   // this stream gives no picture; `failure` says why
  };
  Outcome outcome = Outcome::kSkipped;
  std::string failure;
};

// Reads `buffer`'s first plane, a picture in `format`, into `place` of
// `frame`, honouring its chunk's offset and stride.
ScreenCastRead ReadScreenCastBuffer(const spa_buffer& buffer, const ScreenCastFormat& format,
                                    Image& frame, Rect place);

}  // namespace ostrel
