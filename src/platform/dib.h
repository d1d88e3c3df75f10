#pragma once

// Device-independent bitmaps as the clipboard carries them ("packed" DIBs: a
// header, then colour masks or a palette, then the rows), read and written
// without any system header.
//
// Clipboard data comes from any program. The reader checks every header field
// and every size before it touches a pixel, never reads past the data, and
// treats anything malformed or unsupported as no picture at all.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/image.h"

namespace ostrel {

class PackedDib {
 public:
  // Pictures larger than this many pixels are refused: far beyond any screen.
  static constexpr std::uint64_t kMaxPixels = std::uint64_t{1} << 28;

  // Checks `data` and describes the picture in it. Accepted: the 12-byte core
  // header and the 40, 52, 56, 108 and 124-byte headers; 1, 4 and 8 bits per
  // pixel with a palette; 16, 24 and 32 bits uncompressed; 16 and 32 bits with
  // colour masks (BI_BITFIELDS, BI_ALPHABITFIELDS). Rows bottom-up or top-down.
  // Anything else, run-length or JPEG/PNG compression included, is nullopt.
  // The view must outlive the result.
  static std::optional<PackedDib> Parse(std::span<const std::uint8_t> data);

  int Width() const { return width_; }
  int Height() const { return height_; }

  // Draws the picture into `target` (0x00RRGGBB pixels) with its top-left
  // corner at (0, 0), unscaled and clipped; the part of `target` it does not
  // cover becomes `fill`. Cannot fail: Parse has checked everything.
  void DrawInto(Image& target, std::uint32_t fill) const;
  // The whole picture as an image of its own.
  Image Decode() const;

 private:
  // One colour channel of a masked pixel: (pixel >> shift) & (2^bits - 1).
  struct Channel {
    int shift = 0;
    int bits = 0;
  };

  PackedDib() = default;
  void DecodeRow(int y, std::uint32_t* out, int count) const;

  std::span<const std::uint8_t> data_;
  int width_ = 0;
  int height_ = 0;
  bool top_down_ = false;
  int bit_count_ = 0;
  std::size_t bits_offset_ = 0;
  std::size_t stride_ = 0;
  // Palette: `palette_count_` entries of `palette_entry_` bytes (blue, green,
  // red[, unused]) at `palette_offset_`.
  std::size_t palette_offset_ = 0;
  std::size_t palette_count_ = 0;
  std::size_t palette_entry_ = 4;
  Channel red_;
  Channel green_;
  Channel blue_;
};

// The size of the packed DIB WritePackedDib makes of a width x height picture.
std::size_t PackedDibSize(int width, int height);

// Writes `image` as a packed DIB: a 40-byte header, 32 bits per pixel
// uncompressed (0x00RRGGBB, the unused byte zero), rows bottom-up as most
// programs expect. `out` must be PackedDibSize bytes long.
void WritePackedDib(const Image& image, std::span<std::uint8_t> out);

}  // namespace ostrel
