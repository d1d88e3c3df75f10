#include "platform/png_codec.h"

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>

#include "platform/platform_error.h"

// libpng reports errors by longjmp to the frame that called setjmp. Only the
// functions marked "setjmp frame" below call setjmp, and they and every libpng
// callback hold nothing with a destructor, so a longjmp skips no C++ cleanup.
// Everything that owns memory lives in the callers of those frames. C++
// exceptions never cross libpng: the callbacks catch them and report a libpng
// error instead.

namespace ostrel {
namespace {

// The largest picture we decode: wider or taller than any screen, and at most
// 256 MiB of pixels, so a small corrupt or hostile file cannot make us allocate
// gigabytes.
constexpr png_uint_32 kMaxSide = 32767;
constexpr std::size_t kMaxPixels = std::size_t{1} << 26;
// Deflate turns one byte into at most 1032 (a 258-byte match in two bits), so a
// file can hold at most 1032 times its size of picture data. A header that
// claims more is refused before the picture is allocated: otherwise a 70-byte
// file made us allocate and clear 256 MiB before finding its data missing.
constexpr std::uint64_t kMaxDeflateRatio = 1032;

// Speed over size: the Sub filter and zlib's run-length strategy (level 1). A
// full-HD desktop encodes in about 20 ms and still compresses to a few hundred
// KB; a photograph-like screen takes 50-75 ms, where zlib's default strategy
// takes up to twice as long and gives a larger result.
constexpr int kCompressionLevel = 1;
constexpr int kCompressionStrategy = Z_RLE;
constexpr std::size_t kCompressionBufferSize = 256 * 1024;

// What the error and warning callbacks share with the frame that owns libpng.
struct ErrorContext {
  char message[128];
};

[[noreturn]] void OnError(png_structp png, png_const_charp message) {
  auto* context = static_cast<ErrorContext*>(png_get_error_ptr(png));
  if (context != nullptr) {
    std::strncpy(context->message, message != nullptr ? message : "unknown error",
                 sizeof context->message - 1);
    context->message[sizeof context->message - 1] = '\0';
  }
  png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

// --- Encoding -----------------------------------------------------------------

struct WriteSink {
  std::vector<std::uint8_t>* bytes;
};

void WriteBytes(png_structp png, png_bytep data, png_size_t length) {
  auto* sink = static_cast<WriteSink*>(png_get_io_ptr(png));
  bool failed = false;
  try {
    sink->bytes->insert(sink->bytes->end(), data, data + length);
  } catch (const std::exception&) {
    failed = true;
  }
  // Outside the handler: png_error does not return.
  if (failed) png_error(png, "out of memory for the encoded picture");
}

void FlushBytes(png_structp) {}

// setjmp frame. `row` holds width * 3 bytes.
bool WriteImage(png_structp png, png_infop info, const Image& image, const PixelFormat& format,
                png_bytep row) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.Width()),
               static_cast<png_uint_32>(image.Height()), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, kCompressionLevel);
  png_set_compression_strategy(png, kCompressionStrategy);
  png_set_compression_buffer_size(png, kCompressionBufferSize);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
  png_write_info(png, info);
  for (int y = 0; y < image.Height(); ++y) {
    const std::uint32_t* source = image.Row(y);
    png_bytep out = row;
    for (int x = 0; x < image.Width(); ++x) {
      const std::uint32_t pixel = source[x];
      out[0] = static_cast<png_byte>(pixel >> format.red_shift);
      out[1] = static_cast<png_byte>(pixel >> format.green_shift);
      out[2] = static_cast<png_byte>(pixel >> format.blue_shift);
      out += 3;
    }
    png_write_row(png, row);
  }
  png_write_end(png, info);
  return true;
}

class WriteStruct {
 public:
  explicit WriteStruct(ErrorContext* context)
      : png_(png_create_write_struct(PNG_LIBPNG_VER_STRING, context, OnError, OnWarning)),
        info_(png_ != nullptr ? png_create_info_struct(png_) : nullptr) {}
  ~WriteStruct() { png_destroy_write_struct(&png_, &info_); }
  WriteStruct(const WriteStruct&) = delete;
  WriteStruct& operator=(const WriteStruct&) = delete;
  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

 private:
  png_structp png_;
  png_infop info_;
};

// --- Decoding -----------------------------------------------------------------

struct ReadSource {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t offset;
};

void ReadBytes(png_structp png, png_bytep out, png_size_t length) {
  auto* source = static_cast<ReadSource*>(png_get_io_ptr(png));
  if (length > source->size - source->offset) png_error(png, "the picture data is truncated");
  std::memcpy(out, source->data + source->offset, length);
  source->offset += length;
}

// setjmp frame. Reads the header, asks libpng for 8-bit RGBX rows whatever the
// stored format, and reports the size and the stored bits per pixel.
bool ReadHeader(png_structp png, png_infop info, png_uint_32* width, png_uint_32* height,
                int* stored_bits_per_pixel) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_user_limits(png, kMaxSide, kMaxSide);
  // Read past every chunk but IHDR, PLTE, tRNS, IDAT and IEND: nothing else
  // changes the pixels we make, and libpng allocated the whole claimed length of
  // some (a suggested palette claiming 2 GiB in a 70-byte file) before reading it.
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
  png_read_info(png, info);
  const png_byte colour_type = png_get_color_type(png, info);
  const png_byte bit_depth = png_get_bit_depth(png, info);
  *stored_bits_per_pixel = png_get_channels(png, info) * bit_depth;
  if (colour_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colour_type == PNG_COLOR_TYPE_GRAY && bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (bit_depth == 16) png_set_scale_16(png);
  if ((colour_type & PNG_COLOR_MASK_ALPHA) != 0) png_set_strip_alpha(png);
  if ((colour_type & PNG_COLOR_MASK_COLOR) == 0) png_set_gray_to_rgb(png);
  png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  *width = png_get_image_width(png, info);
  *height = png_get_image_height(png, info);
  if (png_get_bit_depth(png, info) != 8 || png_get_channels(png, info) != 4 ||
      png_get_rowbytes(png, info) != std::size_t{*width} * 4) {
    png_error(png, "unexpected row layout");
  }
  return true;
}

// setjmp frame. `rows` points at height rows of width * 4 bytes.
bool ReadRows(png_structp png, png_bytepp rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_image(png, rows);
  png_read_end(png, nullptr);
  return true;
}

class ReadStruct {
 public:
  explicit ReadStruct(ErrorContext* context)
      : png_(png_create_read_struct(PNG_LIBPNG_VER_STRING, context, OnError, OnWarning)),
        info_(png_ != nullptr ? png_create_info_struct(png_) : nullptr) {}
  ~ReadStruct() { png_destroy_read_struct(&png_, &info_, nullptr); }
  ReadStruct(const ReadStruct&) = delete;
  ReadStruct& operator=(const ReadStruct&) = delete;
  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

 private:
  png_structp png_;
  png_infop info_;
};

}  // namespace

std::vector<std::uint8_t> EncodePng(const Image& image, const PixelFormat& format) {
  if (image.Empty()) throw PlatformError("cannot encode an empty picture as PNG");
  ErrorContext context{};
  WriteStruct writer(&context);
  if (writer.info() == nullptr) throw PlatformError("libpng could not start an encoder");

  std::vector<std::uint8_t> bytes;
  // A screen picture usually compresses to well under a tenth of its raw size.
  bytes.reserve(static_cast<std::size_t>(image.Width()) * static_cast<std::size_t>(image.Height()) /
                8);
  std::vector<png_byte> row(static_cast<std::size_t>(image.Width()) * 3);
  WriteSink sink{&bytes};
  png_set_write_fn(writer.png(), &sink, WriteBytes, FlushBytes);
  if (!WriteImage(writer.png(), writer.info(), image, format, row.data())) {
    throw PlatformError(std::string("PNG encoding failed: ") + context.message);
  }
  return bytes;
}

std::optional<Image> DecodePng(const std::uint8_t* data, std::size_t size,
                               const PixelFormat& format) {
  std::optional<Image> image;
  const bool decoded = DecodePngTo(data, size, format, [&image](int width, int height) -> Image* {
    try {
      return &image.emplace(width, height);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  });
  if (!decoded) return std::nullopt;
  return image;
}

bool DecodePngTo(const std::uint8_t* data, std::size_t size, const PixelFormat& format,
                 const std::function<Image*(int width, int height)>& destination) {
  if (data == nullptr || size < 8 || png_sig_cmp(data, 0, 8) != 0) return false;
  ErrorContext context{};
  ReadStruct reader(&context);
  if (reader.info() == nullptr) return false;
  ReadSource source{data, size, 0};
  png_set_read_fn(reader.png(), &source, ReadBytes);

  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int stored_bits_per_pixel = 0;
  if (!ReadHeader(reader.png(), reader.info(), &width, &height, &stored_bits_per_pixel)) {
    return false;
  }
  if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide ||
      std::size_t{width} * height > kMaxPixels) {
    return false;
  }
  const std::uint64_t stored_bytes =
      std::uint64_t{width} * height * static_cast<std::uint64_t>(stored_bits_per_pixel) / 8;
  if (stored_bytes > std::uint64_t{size} * kMaxDeflateRatio) return false;

  Image* image = destination(static_cast<int>(width), static_cast<int>(height));
  if (image == nullptr || image->Width() != static_cast<int>(width) ||
      image->Height() != static_cast<int>(height)) {
    return false;
  }
  std::vector<png_bytep> rows;
  try {
    rows.resize(height);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (png_uint_32 y = 0; y < height; ++y) {
    rows[y] = reinterpret_cast<png_bytep>(image->Row(static_cast<int>(y)));
  }
  if (!ReadRows(reader.png(), rows.data())) return false;

  // libpng wrote R, G, B, filler bytes in memory order; turn each into a pixel.
  for (png_uint_32 y = 0; y < height; ++y) {
    std::uint32_t* pixels = image->Row(static_cast<int>(y));
    const png_bytep bytes = rows[y];
    for (png_uint_32 x = 0; x < width; ++x) {
      const png_bytep rgb = bytes + std::size_t{x} * 4;
      const std::uint32_t pixel = (std::uint32_t{rgb[0]} << format.red_shift) |
                                  (std::uint32_t{rgb[1]} << format.green_shift) |
                                  (std::uint32_t{rgb[2]} << format.blue_shift);
      pixels[x] = pixel;
    }
  }
  return true;
}

}  // namespace ostrel
