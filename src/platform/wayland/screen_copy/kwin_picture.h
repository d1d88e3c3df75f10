#pragma once

// The formats KWin's screenshots come in: Qt's image formats
// (QImage::Format) of 32-bit RGB. Plain, tested on its own.

#include <cstdint>
#include <optional>

#include "platform/wayland/screen_copy/raw_rows.h"

namespace ostrel {

// The byte order of a 32-bit RGB format, in which an opaque screen reads the
// same with or without alpha, premultiplied or not; nothing for any other.
std::optional<ByteOrder> ByteOrderOfQtFormat(std::uint32_t qt_format);

}  // namespace ostrel
