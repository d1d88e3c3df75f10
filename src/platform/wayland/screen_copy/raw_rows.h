#pragma once

// A raw 32-bit picture read row by row as it comes (KWin's screenshot
// through its pipe, a frame of GNOME's screen cast), converted into the
// frame. Plain, tested on its own.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/image.h"
#include "platform/rect.h"

namespace ostrel {

// The byte order of a raw picture's 32-bit pixels (the fourth byte is
// alpha or padding, and ignored: a screen is opaque).
enum class ByteOrder {
  kBgrx,  // B, G, R, x: a little-endian 0xxxRRGGBB word, the frame's own
  kRgbx,  // R, G, B, x
};

// A raw picture: `height` rows of `stride` bytes in `order`, converted row
// by row to the frame's 0x00RRGGBB. A picture of the place's size goes
// straight into the frame, so that no second picture of the screen is held;
// one of another size (a fractional scale) into a picture of its own, scaled
// into the place once complete.
class RawRows {
 public:
  // False for a size that is not one.
  bool Begin(ByteOrder order, std::uint32_t width, std::uint32_t height, std::uint32_t stride,
             Image& frame, Rect place);
  // Takes what came: whole rows are converted, the rest kept.
  void Add(const std::uint8_t* data, std::size_t size);
  bool Complete() const { return row_ == height_; }
  // Places a picture of its own; to be called once Complete().
  void Finish();

 private:
  void ConvertRow(const std::uint8_t* row);

  ByteOrder order_ = ByteOrder::kBgrx;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::size_t stride_ = 0;
  Image* frame_ = nullptr;
  Rect place_;
  std::optional<Image> own_;
  std::uint32_t row_ = 0;
  std::vector<std::uint8_t> partial_;
};

}  // namespace ostrel
