#pragma once

// What the desktops' own screenshot services hand back, made plain: KWin's
// raw pixels in one of Qt's image formats, the XDG Screenshot portal's
// request path and the file its answer names. Tested on their own.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

// The object path of the portal's answer to a request made with
// `handle_token` by the connection whose unique name is `unique_name`
// (":1.42" -> /org/freedesktop/portal/desktop/request/1_42/TOKEN).
std::string PortalRequestPath(std::string_view unique_name, std::string_view handle_token);

// The local file a "file://" URI names, its escapes (%20 and the like)
// decoded; nothing for any other URI or a broken escape.
std::optional<std::string> FilePathOfUri(std::string_view uri);

}  // namespace ostrel
