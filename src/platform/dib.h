#pragma once

// Packed device-independent bitmaps, the clipboard's CF_DIB and CF_DIBV5 data:
// an information header, optional colour masks, an optional colour table, then
// the pixel rows. Portable code: the layout is read and written byte by byte,
// little-endian, without any system header.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/image.h"

namespace ostrel {

// Decodes a packed DIB that any program may have put on the clipboard into an
// image in `format`; alpha is dropped. Reads headers of 12 (core), 40, 52, 56,
// 108 and 124 bytes; 1, 4 and 8 bits per pixel with a colour table; 16 bits
// (5-5-5 or colour masks), 24 bits, and 32 bits (plain or colour masks); rows
// bottom-up or top-down. Returns nothing for anything else (compressed or
// embedded pictures, bad masks, sizes that do not fit the data, more than 2^28
// pixels). Never reads outside [data, data + size).
std::optional<Image> DecodeDib(const std::uint8_t* data, std::size_t size,
                               const PixelFormat& format);

// Encodes `image`, whose pixels are in `format`, as a packed DIB: a 40-byte
// header, 32 bits per pixel without masks (blue, green, red, zero in memory),
// rows bottom-up. Throws PlatformError for an empty or oversized picture.
std::vector<std::uint8_t> EncodeDib(const Image& image, const PixelFormat& format);

}  // namespace ostrel
