// Fuzz target for the clipboard's DIB reader. Any input must be either refused
// or decoded without reading out of bounds (the sanitizers check); a decoded
// picture must come out the same in any pixel format, and must survive the
// writer and the reader again unchanged.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "platform/dib.h"

namespace {

constexpr ostrel::PixelFormat kXrgb{16, 8, 0};
constexpr ostrel::PixelFormat kXbgr{0, 8, 16};

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "dib_fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::optional<ostrel::Image> image = ostrel::DecodeDib(data, size, kXrgb);
  const std::optional<ostrel::Image> swapped = ostrel::DecodeDib(data, size, kXbgr);
  if (image.has_value() != swapped.has_value()) Fail("the pixel format changed the verdict");
  if (!image) return 0;

  if (image->Width() != swapped->Width() || image->Height() != swapped->Height()) {
    Fail("the pixel format changed the size");
  }
  for (int y = 0; y < image->Height(); ++y) {
    for (int x = 0; x < image->Width(); ++x) {
      const std::uint32_t p = swapped->At(x, y);
      if (image->At(x, y) != (((p & 0xFFU) << 16) | (p & 0xFF00U) | ((p >> 16) & 0xFFU))) {
        Fail("the pixel format changed the colours");
      }
    }
  }

  const std::vector<std::uint8_t> encoded = ostrel::EncodeDib(*image, kXrgb);
  const std::optional<ostrel::Image> again =
      ostrel::DecodeDib(encoded.data(), encoded.size(), kXrgb);
  if (!again) Fail("a written DIB was refused");
  if (!ostrel::SamePixels(*image, *again)) Fail("a written DIB read back different");
  return 0;
}
