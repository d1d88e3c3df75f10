#pragma once

// PNG encoding and decoding of pictures, for the clipboard's image/png.

#include <cstdint>
#include <functional>
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

// Decodes the same way into the picture `destination` gives for the PNG's
// width and height (null: refused), such as memory the caller already holds,
// so that no second picture is made. False for data that is no valid PNG,
// an absurd size, or a refused one; the picture may be partly written then.
bool DecodePngTo(const std::uint8_t* data, std::size_t size, const PixelFormat& format,
                 const std::function<Image*(int width, int height)>& destination);

}  // namespace ostrel
