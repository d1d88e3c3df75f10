#pragma once

// What the desktops' own screenshot services hand back, made plain: KWin's
// raw pixels in one of Qt's image formats, the XDG Screenshot portal's
// request path and the file its answer names. Tested on their own.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/image.h"

namespace ostrel {

// KWin's ScreenShot2 picture: `data` holds `height` rows of `stride` bytes
// in Qt's image format `qt_format` (QImage::Format). The frame's 0x00RRGGBB
// pixels; nothing for a format that is not 32-bit RGB, or for too little data.
std::optional<Image> PixelsOfRawScreenshot(std::uint32_t qt_format, std::uint32_t width,
                                           std::uint32_t height, std::uint32_t stride,
                                           const std::uint8_t* data, std::size_t size);

// The object path of the portal's answer to a request made with
// `handle_token` by the connection whose unique name is `unique_name`
// (":1.42" -> /org/freedesktop/portal/desktop/request/1_42/TOKEN).
std::string PortalRequestPath(std::string_view unique_name, std::string_view handle_token);

// The local file a "file://" URI names, its escapes (%20 and the like)
// decoded; nothing for any other URI or a broken escape.
std::optional<std::string> FilePathOfUri(std::string_view uri);

}  // namespace ostrel
