#pragma once

// KWin's screenshot as it comes through the pipe: raw pixels in one of Qt's
// image formats, converted into the frame row by row. Plain, tested on its
// own.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/image.h"
#include "platform/rect.h"

namespace ostrel {

// KWin's ScreenShot2 picture, read as it arrives through the pipe: `height`
// rows of `stride` bytes in Qt's image format `qt_format` (QImage::Format),
// converted row by row to the frame's 0x00RRGGBB. A picture of the place's
// size goes straight into the frame, so that no second picture of the
// screen is held; one of another size (a fractional scale) into a picture
// of its own, scaled into the place once complete.
class RawScreenshotRows {
 public:
  // False for a format that is not 32-bit RGB or a size that is not one.
  bool Begin(std::uint32_t qt_format, std::uint32_t width, std::uint32_t height,
             std::uint32_t stride, Image& frame, Rect place);
  // Takes what the pipe gave: whole rows are converted, the rest kept.
  void Add(const std::uint8_t* data, std::size_t size);
  bool Complete() const { return row_ == height_; }
  // Places a picture of its own; to be called once Complete().
  void Finish();

 private:
  void ConvertRow(const std::uint8_t* row);

  bool bytes_rgba_ = false;
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
