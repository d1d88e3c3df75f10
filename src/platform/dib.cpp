#include "platform/dib.h"

#include <algorithm>
#include <array>
#include <bit>
#include <initializer_list>
#include <limits>
#include <new>

#include "platform/platform_error.h"

// The data comes from whatever program owns the clipboard, so every field is
// checked against the size before it is used, and every size is computed in 64
// bits from values that are bounded first, so that nothing overflows.

namespace ostrel {
namespace {

// Header sizes: the core header, the information header, its two extensions
// that carry the colour masks (52 and 56 bytes), and the V4 and V5 headers.
constexpr std::uint32_t kCoreHeader = 12;
constexpr std::uint32_t kInfoHeader = 40;
constexpr std::uint32_t kV2Header = 52;
constexpr std::uint32_t kV3Header = 56;
constexpr std::uint32_t kV4Header = 108;
constexpr std::uint32_t kV5Header = 124;

// Compression values: none, colour masks, colour masks with an alpha mask.
// Everything else (run-length, JPEG, PNG, ...) is refused.
constexpr std::uint32_t kUncompressed = 0;
constexpr std::uint32_t kBitfields = 3;
constexpr std::uint32_t kAlphaBitfields = 6;

// At most kMaxDibPixels pixels (1 GiB decoded). The pixel rows must be in the
// data as well, so a small input never makes us allocate more than 32 times its
// size.

std::uint16_t ReadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t ReadU32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}

void PutU16(std::uint8_t* p, std::uint32_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
}

void PutU32(std::uint8_t* p, std::uint32_t value) {
  PutU16(p, value);
  PutU16(p + 2, value >> 16);
}

// One colour component of a 16- or 32-bit pixel: where its bits sit, and how
// they scale to 8 bits (fewer bits are scaled with rounding, so that 5-bit 31
// becomes 255; more bits keep their top 8).
class Channel {
 public:
  // Nothing for a mask that is empty, not one run of bits, or wider than the pixel.
  static std::optional<Channel> FromMask(std::uint32_t mask, int bits_per_pixel) {
    if (mask == 0) return std::nullopt;
    if (bits_per_pixel < 32 && (mask >> bits_per_pixel) != 0) return std::nullopt;
    Channel channel;
    channel.mask_ = mask;
    channel.shift_ = std::countr_zero(mask);
    const std::uint32_t run = mask >> channel.shift_;
    if ((run & (run + 1U)) != 0) return std::nullopt;
    channel.bits_ = std::popcount(run);
    if (channel.bits_ < 8) {
      const std::uint32_t max = run;
      for (std::uint32_t value = 0; value <= max; ++value) {
        channel.scale_[value] = static_cast<std::uint8_t>((value * 255U + max / 2U) / max);
      }
    }
    return channel;
  }

  std::uint32_t Get(std::uint32_t pixel) const {
    const std::uint32_t value = (pixel & mask_) >> shift_;
    return bits_ >= 8 ? value >> (bits_ - 8) : scale_[value];
  }

 private:
  std::uint32_t mask_ = 0;
  int shift_ = 0;
  int bits_ = 0;
  std::array<std::uint8_t, 128> scale_{};
};

// Where everything is in the data, once every field has been checked.
struct Layout {
  int width = 0;
  int height = 0;
  bool top_down = false;
  int bits_per_pixel = 0;
  // 16 and 32 bits per pixel.
  std::optional<Channel> red, green, blue;
  // 1, 4 and 8 bits per pixel: the colour table, entries of 3 (core header) or
  // 4 bytes, blue first.
  std::size_t table_offset = 0;
  std::size_t table_entries = 0;
  std::size_t table_entry_size = 4;
  std::size_t pixel_offset = 0;
  std::size_t stride = 0;
};

bool IsOneOf(int value, std::initializer_list<int> allowed) {
  for (const int a : allowed) {
    if (value == a) return true;
  }
  return false;
}

std::optional<Layout> ReadLayout(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size < 4) return std::nullopt;
  const std::uint64_t available = size;
  const std::uint32_t header_size = ReadU32(data);
  if (header_size > available) return std::nullopt;

  Layout layout;
  int planes = 0;
  std::uint32_t compression = kUncompressed;
  std::uint32_t colours_used = 0;
  if (header_size == kCoreHeader) {
    // Unsigned 16-bit sizes, always bottom-up, a full table of 3-byte entries.
    layout.width = ReadU16(data + 4);
    layout.height = ReadU16(data + 6);
    planes = ReadU16(data + 8);
    layout.bits_per_pixel = ReadU16(data + 10);
    layout.table_entry_size = 3;
    if (!IsOneOf(layout.bits_per_pixel, {1, 4, 8, 24})) return std::nullopt;
  } else if (header_size == kInfoHeader || header_size == kV2Header || header_size == kV3Header ||
             header_size == kV4Header || header_size == kV5Header) {
    const auto width = static_cast<std::int32_t>(ReadU32(data + 4));
    const auto height = static_cast<std::int32_t>(ReadU32(data + 8));
    // A negative height means rows top-down; the most negative one has no
    // positive counterpart.
    if (width <= 0 || height == 0 || height == std::numeric_limits<std::int32_t>::min()) {
      return std::nullopt;
    }
    layout.width = width;
    layout.top_down = height < 0;
    layout.height = layout.top_down ? -height : height;
    planes = ReadU16(data + 12);
    layout.bits_per_pixel = ReadU16(data + 14);
    compression = ReadU32(data + 16);
    colours_used = ReadU32(data + 32);
  } else {
    return std::nullopt;
  }
  if (planes != 1 || layout.width <= 0 || layout.height <= 0) return std::nullopt;
  const int bits = layout.bits_per_pixel;

  // The colour masks, and where what follows the header and masks starts.
  std::uint64_t offset = header_size;
  std::uint32_t masks[3] = {};
  bool masks_in_header = false;
  if (compression == kUncompressed) {
    if (bits == 16) {
      masks[0] = 0x7C00;
      masks[1] = 0x03E0;
      masks[2] = 0x001F;
    } else if (bits == 24 || bits == 32) {
      masks[0] = 0xFF0000;
      masks[1] = 0x00FF00;
      masks[2] = 0x0000FF;
    } else if (!IsOneOf(bits, {1, 4, 8})) {
      return std::nullopt;
    }
  } else if (compression == kBitfields || compression == kAlphaBitfields) {
    if (bits != 16 && bits != 32) return std::nullopt;
    if (header_size == kInfoHeader) {
      // The masks follow a 40-byte header: red, green, blue, and alpha too.
      const std::uint64_t count = compression == kBitfields ? 3 : 4;
      if (available - offset < count * 4) return std::nullopt;
      for (std::size_t i = 0; i < 3; ++i) masks[i] = ReadU32(data + offset + 4 * i);
      offset += count * 4;
    } else {
      // Larger headers hold them at bytes 40 to 51 (alpha, if any, at 52).
      for (std::size_t i = 0; i < 3; ++i) masks[i] = ReadU32(data + 40 + 4 * i);
      masks_in_header = true;
    }
  } else {
    return std::nullopt;
  }
  if (bits >= 16) {
    layout.red = Channel::FromMask(masks[0], bits);
    layout.green = Channel::FromMask(masks[1], bits);
    layout.blue = Channel::FromMask(masks[2], bits);
    if (!layout.red || !layout.green || !layout.blue) return std::nullopt;
    if ((masks[0] & masks[1]) != 0 || (masks[0] & masks[2]) != 0 || (masks[1] & masks[2]) != 0) {
      return std::nullopt;
    }
  }

  // The colour table: indexed pictures have one of at most 2^bits entries (all
  // of them when the header says 0); deeper ones may carry one that only
  // serves palette displays, which is skipped.
  std::uint64_t entries = colours_used;
  if (bits <= 8) {
    const std::uint64_t full = std::uint64_t{1} << bits;
    if (entries > full) return std::nullopt;
    if (entries == 0) entries = full;
  }
  const std::uint64_t table_bytes = entries * layout.table_entry_size;

  const std::uint64_t pixels = std::uint64_t(layout.width) * std::uint64_t(layout.height);
  if (pixels > kMaxDibPixels) return std::nullopt;
  // Rows are padded to 4 bytes. Width and height are bounded by now: at most
  // 2^28 * 4 + 2^31 * 4 bytes of rows.
  const std::uint64_t stride = (std::uint64_t(layout.width) * std::uint64_t(bits) + 31) / 32 * 4;
  const std::uint64_t pixel_bytes = stride * std::uint64_t(layout.height);

  std::uint64_t table_offset = offset;
  std::uint64_t pixel_offset = table_offset + table_bytes;
  if (pixel_offset > available || available - pixel_offset < pixel_bytes) return std::nullopt;

  // Some programs repeat the masks after a larger header, where a 40-byte
  // header would have them. Skip such a copy only when the data also has room
  // for it beyond the pixel rows: first pixels that merely equal the masks are
  // then mistaken for it only if 12 or more stray bytes follow the rows.
  if (masks_in_header && available - pixel_offset - pixel_bytes >= 12 &&
      ReadU32(data + offset) == masks[0] && ReadU32(data + offset + 4) == masks[1] &&
      ReadU32(data + offset + 8) == masks[2]) {
    table_offset += 12;
    pixel_offset += 12;
  }

  layout.table_offset = static_cast<std::size_t>(table_offset);
  layout.table_entries = static_cast<std::size_t>(entries);
  layout.pixel_offset = static_cast<std::size_t>(pixel_offset);
  layout.stride = static_cast<std::size_t>(stride);
  return layout;
}

std::uint32_t ToPixel(std::uint32_t red, std::uint32_t green, std::uint32_t blue,
                      const PixelFormat& format) {
  return (red << format.red_shift) | (green << format.green_shift) | (blue << format.blue_shift);
}

// Decodes the first `width` pixels (at most the picture's width) of one row.
void DecodeRow(const Layout& layout, const std::array<std::uint32_t, 256>& table,
               const PixelFormat& format, const std::uint8_t* row, int width, std::uint32_t* out) {
  switch (layout.bits_per_pixel) {
    case 1:
    case 4: {
      const int bits = layout.bits_per_pixel;
      const int per_byte = 8 / bits;
      const unsigned index_mask = (1U << bits) - 1U;
      for (int x = 0; x < width; ++x) {
        const unsigned byte = row[x / per_byte];
        const int shift = 8 - bits * (x % per_byte + 1);
        out[x] = table[(byte >> shift) & index_mask];
      }
      break;
    }
    case 8:
      for (int x = 0; x < width; ++x) out[x] = table[row[x]];
      break;
    case 16:
      for (int x = 0; x < width; ++x) {
        const std::uint32_t value = ReadU16(row + 2 * x);
        out[x] = ToPixel(layout.red->Get(value), layout.green->Get(value), layout.blue->Get(value),
                         format);
      }
      break;
    case 24:
      for (int x = 0; x < width; ++x) {
        const std::uint8_t* bgr = row + 3 * x;
        out[x] = ToPixel(bgr[2], bgr[1], bgr[0], format);
      }
      break;
    default:  // 32
      for (int x = 0; x < width; ++x) {
        const std::uint32_t value = ReadU32(row + 4 * x);
        out[x] = ToPixel(layout.red->Get(value), layout.green->Get(value), layout.blue->Get(value),
                         format);
      }
      break;
  }
}

// Draws the checked picture into `target` from its top-left corner, clipped;
// the rest of `target` becomes `fill`.
void Draw(const Layout& layout, const std::uint8_t* data, const PixelFormat& format, Image& target,
          std::uint32_t fill) {
  // Indices beyond a short table show black.
  std::array<std::uint32_t, 256> table{};
  if (layout.bits_per_pixel <= 8) {
    for (std::size_t i = 0; i < layout.table_entries; ++i) {
      const std::uint8_t* bgr = data + layout.table_offset + i * layout.table_entry_size;
      table[i] = ToPixel(bgr[2], bgr[1], bgr[0], format);
    }
  }

  const int width = std::min(layout.width, target.Width());
  const int height = std::min(layout.height, target.Height());
  const std::uint8_t* rows = data + layout.pixel_offset;
  for (int y = 0; y < target.Height(); ++y) {
    std::uint32_t* out = target.Row(y);
    int drawn = 0;
    if (y < height && width > 0) {
      const int source = layout.top_down ? y : layout.height - 1 - y;
      DecodeRow(layout, table, format, rows + static_cast<std::size_t>(source) * layout.stride,
                width, out);
      drawn = width;
    }
    std::fill(out + drawn, out + target.Width(), fill);
  }
}

}  // namespace

std::optional<Image> DecodeDib(const std::uint8_t* data, std::size_t size,
                               const PixelFormat& format) {
  const std::optional<Layout> layout = ReadLayout(data, size);
  if (!layout) return std::nullopt;
  std::optional<Image> image;
  try {
    image.emplace(layout->width, layout->height);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  Draw(*layout, data, format, *image, 0);
  return image;
}

bool DrawDib(const std::uint8_t* data, std::size_t size, const PixelFormat& format, Image& target,
             std::uint32_t fill) {
  const std::optional<Layout> layout = ReadLayout(data, size);
  if (!layout) return false;
  Draw(*layout, data, format, target, fill);
  return true;
}

std::size_t EncodedDibSize(int width, int height) {
  if (width <= 0 || height <= 0) throw PlatformError("cannot encode an empty picture as a DIB");
  const std::uint64_t pixels = std::uint64_t(width) * std::uint64_t(height);
  if (pixels > kMaxDibPixels) throw PlatformError("the picture is too large for a DIB");
  return kInfoHeader + static_cast<std::size_t>(pixels * 4);
}

void EncodeDibInto(const Image& image, const PixelFormat& format, std::uint8_t* out,
                   std::size_t size) {
  const std::size_t expected = EncodedDibSize(image.Width(), image.Height());
  if (out == nullptr || size != expected) {
    throw PlatformError("the memory for the DIB is not the size of the picture");
  }
  // The caller's memory may hold anything: every byte is written.
  const auto pixel_bytes = static_cast<std::uint32_t>(expected - kInfoHeader);
  std::fill_n(out, kInfoHeader, std::uint8_t{0});
  PutU32(out, kInfoHeader);
  PutU32(out + 4, static_cast<std::uint32_t>(image.Width()));
  PutU32(out + 8, static_cast<std::uint32_t>(image.Height()));  // positive: bottom-up
  PutU16(out + 12, 1);                                          // planes
  PutU16(out + 14, 32);                                         // bits per pixel
  PutU32(out + 16, kUncompressed);
  PutU32(out + 20, pixel_bytes);
  // Resolution, colours used and important colours stay 0.
  out += kInfoHeader;
  for (int y = image.Height() - 1; y >= 0; --y) {
    const std::uint32_t* row = image.Row(y);
    for (int x = 0; x < image.Width(); ++x) {
      const std::uint32_t pixel = row[x];
      out[0] = static_cast<std::uint8_t>(pixel >> format.blue_shift);
      out[1] = static_cast<std::uint8_t>(pixel >> format.green_shift);
      out[2] = static_cast<std::uint8_t>(pixel >> format.red_shift);
      out[3] = 0;
      out += 4;
    }
  }
}

std::vector<std::uint8_t> EncodeDib(const Image& image, const PixelFormat& format) {
  std::vector<std::uint8_t> bytes(EncodedDibSize(image.Width(), image.Height()));
  EncodeDibInto(image, format, bytes.data(), bytes.size());
  return bytes;
}

}  // namespace ostrel
