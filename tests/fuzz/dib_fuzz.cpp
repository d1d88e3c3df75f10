// Fuzz target for the clipboard's DIB reader. Any input must be either refused
// or decoded without reading out of bounds (the sanitizers check); a decoded
// picture must come out the same in any pixel format and when drawn into a
// frame, and must survive the writer and the reader again unchanged.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "platform/dib.h"

namespace {

constexpr ostrel::PixelFormat kXrgb{16, 8, 0};
constexpr ostrel::PixelFormat kXbgr{0, 8, 16};
constexpr std::uint32_t kUntouched = 0xDEADBEEF;
constexpr std::uint32_t kFill = 0x00123456;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "dib_fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::optional<ostrel::Image> image = ostrel::DecodeDib(data, size, kXrgb);
  const std::optional<ostrel::Image> swapped = ostrel::DecodeDib(data, size, kXbgr);
  if (image.has_value() != swapped.has_value()) Fail("the pixel format changed the verdict");

  // Drawn into a frame (1 to 19 by 1 to 13 pixels, after the input's length, so
  // that frames clip pictures every way): the same verdict; on a refusal the
  // frame untouched, otherwise the picture's top-left part and the fill.
  ostrel::Image frame(1 + static_cast<int>(size % 7) * 3, 1 + static_cast<int>(size / 7 % 5) * 3);
  frame.Fill(kUntouched);
  if (ostrel::DrawDib(data, size, kXrgb, frame, kFill) != image.has_value()) {
    Fail("drawing into a frame and decoding disagree");
  }
  for (int y = 0; y < frame.Height(); ++y) {
    for (int x = 0; x < frame.Width(); ++x) {
      std::uint32_t expected = kUntouched;
      if (image) {
        expected = x < image->Width() && y < image->Height() ? image->At(x, y) : kFill;
      }
      if (frame.At(x, y) != expected) Fail("the frame differs from the decoded picture");
    }
  }
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
