#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "trails/drawing_surface.h"

namespace ostrel {

// Where the red, green and blue bytes sit in a 32-bit pixel. The default is the
// common 0x00RRGGBB layout of X11 TrueColor visuals and Windows DIBs.
struct PixelFormat {
  int red_shift = 16;
  int green_shift = 8;
  int blue_shift = 0;

  // Converts a colour value (0x00BBGGRR) to a pixel of this format.
  constexpr std::uint32_t FromColourValue(ColourValue colour) const {
    const std::uint32_t red = colour & 0xFFU;
    const std::uint32_t green = (colour >> 8) & 0xFFU;
    const std::uint32_t blue = (colour >> 16) & 0xFFU;
    return (red << red_shift) | (green << green_shift) | (blue << blue_shift);
  }
};

// A 32-bit picture, rows top to bottom. It either owns its pixels or views memory
// kept alive by `owner` (a shared-memory segment, say). Move-only: copying a
// full-screen picture is always explicit (Clone).
class Image {
 public:
  Image() = default;
  // Owns width x height pixels, all zero.
  Image(int width, int height);
  // Views pixels that `owner` keeps alive; stride is in pixels.
  Image(std::uint32_t* pixels, int width, int height, std::ptrdiff_t stride,
        std::shared_ptr<void> owner);

  Image(Image&&) noexcept = default;
  Image& operator=(Image&&) noexcept = default;
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  int Width() const { return width_; }
  int Height() const { return height_; }
  std::ptrdiff_t Stride() const { return stride_; }
  bool Empty() const { return width_ <= 0 || height_ <= 0; }

  std::uint32_t* Row(int y) { return pixels_ + y * stride_; }
  const std::uint32_t* Row(int y) const { return pixels_ + y * stride_; }
  std::uint32_t& At(int x, int y) { return Row(y)[x]; }
  std::uint32_t At(int x, int y) const { return Row(y)[x]; }

  Image Clone() const;
  void Fill(std::uint32_t pixel);
  // Copies `source` with its top-left corner at (0, 0), unscaled; whatever it
  // does not cover becomes `fill`.
  void CopyFrom(const Image& source, std::uint32_t fill);

 private:
  std::shared_ptr<void> owner_;
  std::uint32_t* pixels_ = nullptr;
  int width_ = 0;
  int height_ = 0;
  std::ptrdiff_t stride_ = 0;
};

bool SamePixels(const Image& a, const Image& b);

using Picture = std::shared_ptr<const Image>;

}  // namespace ostrel
