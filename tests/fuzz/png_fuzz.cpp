// Fuzz target for the clipboard's PNG reader. Each input is decoded as it is,
// and again with every chunk's CRC made right, so that changes reach the
// decoder instead of stopping at the checksums. A decoded picture must survive
// the encoder and the decoder again unchanged.

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "platform/png_codec.h"

namespace {

constexpr ostrel::PixelFormat kXrgb{16, 8, 0};

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "png_fuzz: %s\n", what);
  std::abort();
}

void Check(const std::uint8_t* data, std::size_t size) {
  const std::optional<ostrel::Image> image = ostrel::DecodePng(data, size, kXrgb);
  if (!image) return;
  const std::vector<std::uint8_t> encoded = ostrel::EncodePng(*image, kXrgb);
  const std::optional<ostrel::Image> again =
      ostrel::DecodePng(encoded.data(), encoded.size(), kXrgb);
  if (!again) Fail("an encoded PNG was refused");
  if (!ostrel::SamePixels(*image, *again)) Fail("an encoded PNG decoded different");
}

// Rewrites the CRC of every whole chunk after the signature. Returns whether
// anything changed.
bool FixCrcs(std::vector<std::uint8_t>& png) {
  bool changed = false;
  std::size_t at = 8;
  while (png.size() - at >= 12) {
    const std::uint32_t length = (std::uint32_t{png[at]} << 24) |
                                 (std::uint32_t{png[at + 1]} << 16) |
                                 (std::uint32_t{png[at + 2]} << 8) | png[at + 3];
    if (length > png.size() - at - 12) break;
    const auto crc =
        static_cast<std::uint32_t>(crc32(0, png.data() + at + 4, static_cast<uInt>(length + 4)));
    for (std::size_t i = 0; i < 4; ++i) {
      const auto byte = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
      std::uint8_t& stored = png[at + 8 + length + i];
      changed = changed || stored != byte;
      stored = byte;
    }
    at += 12 + std::size_t{length};
  }
  return changed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Check(data, size);
  if (size < 8) return 0;
  std::vector<std::uint8_t> fixed(data, data + size);
  if (FixCrcs(fixed)) Check(fixed.data(), fixed.size());
  return 0;
}
