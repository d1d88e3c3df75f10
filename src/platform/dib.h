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

// Pictures of more pixels than this are neither read nor written: far beyond
// any screen, and the most a DIB may make us allocate (1 GiB decoded).
inline constexpr std::uint64_t kMaxDibPixels = std::uint64_t{1} << 28;

// Decodes a packed DIB that any program may have put on the clipboard into an
// image in `format`; alpha is dropped. Reads headers of 12 (core), 40, 52, 56,
// 108 and 124 bytes; 1, 4 and 8 bits per pixel with a colour table; 16 bits
// (5-5-5 or colour masks), 24 bits, and 32 bits (plain or colour masks); rows
// bottom-up or top-down. Returns nothing for anything else (compressed or
// embedded pictures, bad masks, sizes that do not fit the data, more than
// kMaxDibPixels pixels). Never reads outside [data, data + size).
std::optional<Image> DecodeDib(const std::uint8_t* data, std::size_t size,
                               const PixelFormat& format);

// Draws the same picture straight into `target`, whose pixels are in `format`:
// its top-left corner at (0, 0), unscaled, clipped to `target`; whatever of
// `target` it does not cover becomes `fill`. No second picture is allocated, so
// the Windows backend decodes into its frame. False, with `target` untouched,
// for every DIB that DecodeDib refuses.
bool DrawDib(const std::uint8_t* data, std::size_t size, const PixelFormat& format, Image& target,
             std::uint32_t fill);

// The size in bytes of the DIB EncodeDib makes of a width x height picture.
// Throws PlatformError for an empty picture or one of more than kMaxDibPixels.
std::size_t EncodedDibSize(int width, int height);

// Encodes `image`, whose pixels are in `format`, as a packed DIB: a 40-byte
// header, 32 bits per pixel without masks (blue, green, red, zero in memory),
// rows bottom-up. Throws PlatformError for an empty or oversized picture.
std::vector<std::uint8_t> EncodeDib(const Image& image, const PixelFormat& format);

// The same DIB written into memory of the caller's (the Windows backend's
// clipboard memory), whose every byte it sets. Throws PlatformError where
// EncodeDib does, and when `size` is not EncodedDibSize of the picture.
void EncodeDibInto(const Image& image, const PixelFormat& format, std::uint8_t* out,
                   std::size_t size);

}  // namespace ostrel
