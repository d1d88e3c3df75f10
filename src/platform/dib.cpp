#include "platform/dib.h"

#include <algorithm>
#include <array>
#include <bit>
#include <stdexcept>

namespace ostrel {
namespace {

// Compression values of the header.
constexpr std::uint32_t kBiRgb = 0;
constexpr std::uint32_t kBiBitfields = 3;
constexpr std::uint32_t kBiAlphaBitfields = 6;

constexpr std::size_t kCoreHeaderSize = 12;
constexpr std::size_t kInfoHeaderSize = 40;

// Little-endian fields; the caller has checked that they lie inside the data.
std::uint32_t U16(std::span<const std::uint8_t> data, std::size_t at) {
  return static_cast<std::uint32_t>(data[at] | (data[at + 1] << 8));
}

std::uint32_t U32(std::span<const std::uint8_t> data, std::size_t at) {
  return static_cast<std::uint32_t>(data[at]) | (static_cast<std::uint32_t>(data[at + 1]) << 8) |
         (static_cast<std::uint32_t>(data[at + 2]) << 16) |
         (static_cast<std::uint32_t>(data[at + 3]) << 24);
}

std::int64_t I32(std::span<const std::uint8_t> data, std::size_t at) {
  return static_cast<std::int32_t>(U32(data, at));
}

void PutU16(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value);
  out[1] = static_cast<std::uint8_t>(value >> 8);
}

void PutU32(std::uint8_t* out, std::uint32_t value) {
  PutU16(out, value);
  PutU16(out + 2, value >> 16);
}

bool IsHeaderSize(std::size_t size) {
  return size == kCoreHeaderSize || size == kInfoHeaderSize || size == 52 || size == 56 ||
         size == 108 || size == 124;
}

// A channel value of `bits` bits scaled to 8 bits: wider values keep their top
// bits, narrower ones repeat their bits (5-bit 31 becomes 255, not 248).
std::uint32_t ToByte(std::uint32_t value, int bits) {
  if (bits >= 8) return value >> (bits - 8);
  std::uint32_t out = 0;
  for (int shift = 8 - bits; shift > -bits; shift -= bits) {
    out |= shift >= 0 ? value << shift : value >> -shift;
  }
  return out & 0xFFU;
}

}  // namespace

std::optional<PackedDib> PackedDib::Parse(std::span<const std::uint8_t> data) {
  if (data.size() < 4) return std::nullopt;
  const std::size_t header_size = U32(data, 0);
  if (!IsHeaderSize(header_size) || header_size > data.size()) return std::nullopt;

  PackedDib dib;
  dib.data_ = data;
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::uint32_t planes = 0;
  std::uint32_t compression = kBiRgb;
  std::uint64_t colours_used = 0;
  if (header_size == kCoreHeaderSize) {
    width = U16(data, 4);
    height = U16(data, 6);
    planes = U16(data, 8);
    dib.bit_count_ = static_cast<int>(U16(data, 10));
    dib.palette_entry_ = 3;
    if (dib.bit_count_ != 1 && dib.bit_count_ != 4 && dib.bit_count_ != 8 && dib.bit_count_ != 24) {
      return std::nullopt;
    }
  } else {
    width = I32(data, 4);
    height = I32(data, 8);
    planes = U16(data, 12);
    dib.bit_count_ = static_cast<int>(U16(data, 14));
    compression = U32(data, 16);
    colours_used = U32(data, 32);
  }
  if (planes != 1 || width <= 0 || height == 0) return std::nullopt;
  dib.top_down_ = height < 0;
  if (dib.top_down_) height = -height;  // 64 bits: the most negative 32-bit value is fine
  if (static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > kMaxPixels) {
    return std::nullopt;
  }
  dib.width_ = static_cast<int>(width);
  dib.height_ = static_cast<int>(height);

  // Where each channel sits in a 16 or 32-bit pixel.
  std::size_t offset = header_size;
  std::array<std::uint32_t, 3> masks{};  // red, green, blue
  const int bits = dib.bit_count_;
  if (compression == kBiRgb) {
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) {
      return std::nullopt;
    }
    masks = bits == 16 ? std::array<std::uint32_t, 3>{0x7C00U, 0x03E0U, 0x001FU}
                       : std::array<std::uint32_t, 3>{0xFF0000U, 0x00FF00U, 0x0000FFU};
  } else if (compression == kBiBitfields || compression == kBiAlphaBitfields) {
    if (bits != 16 && bits != 32) return std::nullopt;
    // The 40-byte header is followed by the masks; the longer ones hold them.
    std::size_t masks_at = kInfoHeaderSize;
    if (header_size == kInfoHeaderSize) {
      const std::size_t mask_bytes = compression == kBiBitfields ? 12 : 16;
      if (data.size() - offset < mask_bytes) return std::nullopt;
      masks_at = offset;
      offset += mask_bytes;
    }
    for (std::size_t i = 0; i < masks.size(); ++i) masks[i] = U32(data, masks_at + 4 * i);
    // Each mask one run of bits inside the pixel, none overlapping another.
    const std::uint64_t pixel_mask = (std::uint64_t{1} << bits) - 1;
    for (const std::uint32_t mask : masks) {
      if (mask == 0 || mask > pixel_mask) return std::nullopt;
      const std::uint32_t run = mask >> std::countr_zero(mask);
      if ((run & (run + 1)) != 0) return std::nullopt;
    }
    if ((masks[0] & masks[1]) != 0 || (masks[0] & masks[2]) != 0 || (masks[1] & masks[2]) != 0) {
      return std::nullopt;
    }
  } else {
    return std::nullopt;  // run-length, JPEG, PNG and the rest
  }
  Channel* const channels[3] = {&dib.red_, &dib.green_, &dib.blue_};
  for (std::size_t i = 0; i < masks.size(); ++i) {
    channels[i]->shift = std::countr_zero(masks[i]);
    channels[i]->bits = std::popcount(masks[i]);
  }

  // The palette: every entry of a 1, 4 or 8-bit picture unless fewer are
  // given; deeper pictures may carry one too, which the rows follow.
  std::uint64_t palette_count = colours_used;
  if (bits <= 8) {
    if (palette_count == 0 || header_size == kCoreHeaderSize) palette_count = 1U << bits;
    if (palette_count > 256) return std::nullopt;
  }
  const std::uint64_t palette_bytes = palette_count * dib.palette_entry_;
  if (palette_bytes > data.size() - offset) return std::nullopt;
  dib.palette_offset_ = offset;
  dib.palette_count_ = static_cast<std::size_t>(palette_count);
  offset += static_cast<std::size_t>(palette_bytes);

  // The rows, each padded to a multiple of four bytes. Whatever follows them
  // (a colour profile, say) is not read.
  const std::uint64_t stride =
      (static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(bits) + 31) / 32 * 4;
  const std::uint64_t available = data.size() - offset;
  if (stride * static_cast<std::uint64_t>(height) > available) return std::nullopt;
  dib.bits_offset_ = offset;
  dib.stride_ = static_cast<std::size_t>(stride);
  return dib;
}

void PackedDib::DecodeRow(int y, std::uint32_t* out, int count) const {
  const int source_row = top_down_ ? y : height_ - 1 - y;
  const std::uint8_t* row =
      data_.data() + bits_offset_ + static_cast<std::size_t>(source_row) * stride_;
  const auto n = static_cast<std::size_t>(count);
  switch (bit_count_) {
    case 1:
    case 4:
    case 8: {
      // The leftmost pixel is in the byte's highest bits. An index past the
      // palette's end is black.
      const auto per_byte = static_cast<std::size_t>(8 / bit_count_);
      const std::uint32_t index_mask = (1U << bit_count_) - 1;
      for (std::size_t x = 0; x < n; ++x) {
        const std::size_t place = per_byte - 1 - x % per_byte;
        const std::uint32_t byte = row[x / per_byte];
        const std::size_t index =
            (byte >> (place * static_cast<std::size_t>(bit_count_))) & index_mask;
        std::uint32_t pixel = 0;
        if (index < palette_count_) {
          const std::uint8_t* entry = data_.data() + palette_offset_ + index * palette_entry_;
          pixel = (std::uint32_t{entry[2]} << 16) | (std::uint32_t{entry[1]} << 8) | entry[0];
        }
        out[x] = pixel;
      }
      break;
    }
    case 24:
      for (std::size_t x = 0; x < n; ++x) {
        const std::uint8_t* p = row + 3 * x;
        out[x] = (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
      }
      break;
    default: {
      const bool wide = bit_count_ == 32;
      const bool plain = wide && red_.shift == 16 && green_.shift == 8 && blue_.shift == 0 &&
                         red_.bits == 8 && green_.bits == 8 && blue_.bits == 8;
      for (std::size_t x = 0; x < n; ++x) {
        std::uint32_t value = 0;
        if (wide) {
          const std::uint8_t* p = row + 4 * x;
          value = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                  (static_cast<std::uint32_t>(p[2]) << 16) |
                  (static_cast<std::uint32_t>(p[3]) << 24);
        } else {
          const std::uint8_t* p = row + 2 * x;
          value = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8);
        }
        if (plain) {
          out[x] = value & 0x00FFFFFFU;
          continue;
        }
        const auto channel = [value](const Channel& c) {
          const std::uint32_t field =
              (value >> c.shift) & static_cast<std::uint32_t>((std::uint64_t{1} << c.bits) - 1);
          return ToByte(field, c.bits);
        };
        out[x] = (channel(red_) << 16) | (channel(green_) << 8) | channel(blue_);
      }
      break;
    }
  }
}

void PackedDib::DrawInto(Image& target, std::uint32_t fill) const {
  const int w = std::min(target.Width(), width_);
  const int h = std::min(target.Height(), height_);
  for (int y = 0; y < target.Height(); ++y) {
    std::uint32_t* row = target.Row(y);
    int filled_from = 0;
    if (y < h && w > 0) {
      DecodeRow(y, row, w);
      filled_from = w;
    }
    std::fill(row + filled_from, row + target.Width(), fill);
  }
}

Image PackedDib::Decode() const {
  Image image(width_, height_);
  DrawInto(image, 0);
  return image;
}

std::size_t PackedDibSize(int width, int height) {
  if (width < 0 || height < 0) throw std::invalid_argument("negative picture size");
  return kInfoHeaderSize + static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4U;
}

void WritePackedDib(const Image& image, std::span<std::uint8_t> out) {
  const int width = image.Width();
  const int height = image.Height();
  const std::size_t size = PackedDibSize(width, height);
  if (out.size() != size) throw std::invalid_argument("wrong size for the packed picture");
  std::uint8_t* header = out.data();
  std::fill_n(header, kInfoHeaderSize, std::uint8_t{0});
  PutU32(header, static_cast<std::uint32_t>(kInfoHeaderSize));
  PutU32(header + 4, static_cast<std::uint32_t>(width));
  PutU32(header + 8, static_cast<std::uint32_t>(height));  // positive: bottom-up rows
  PutU16(header + 12, 1);                                  // planes
  PutU16(header + 14, 32);                                 // bits per pixel
  PutU32(header + 16, kBiRgb);
  // The size of the rows; 0 (allowed for uncompressed rows) when it does not fit.
  const std::size_t row_bytes = size - kInfoHeaderSize;
  PutU32(header + 20, row_bytes <= 0xFFFFFFFFU ? static_cast<std::uint32_t>(row_bytes) : 0U);
  std::uint8_t* bits = out.data() + kInfoHeaderSize;
  for (int y = 0; y < height; ++y) {
    const std::uint32_t* row = image.Row(height - 1 - y);
    for (int x = 0; x < width; ++x)
      PutU32(bits + 4 * static_cast<std::size_t>(x), row[x] & 0x00FFFFFFU);
    bits += 4 * static_cast<std::size_t>(width);
  }
}

}  // namespace ostrel
