#pragma once

// PNG encoding and decoding of pictures, for the clipboard's image/png.

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/image.h"

namespace ostrel {

// Encodes `image`, whose pixels are in `format`, as an 8-bit RGB PNG.
// Throws PlatformError if libpng fails.
std::vector<std::uint8_t> EncodePng(const Image& image, const PixelFormat& format);

// Decodes any PNG (grey, palette, RGB, with or without alpha, 8 or 16 bits)
// into an image in `format`; alpha is dropped. Returns nothing for data that
// is not a valid PNG, or whose size is absurd.
std::optional<Image> DecodePng(const std::uint8_t* data, std::size_t size,
                               const PixelFormat& format);

}  // namespace ostrel
