// The PNG codec of the clipboard: what it writes must read back exactly with
// libpng's own reader, and what it reads may be any PNG another program put on
// the clipboard, including broken ones.

#include "platform/png_codec.h"

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <array>
#include <atomic>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>

#include "platform/platform.h"

// The largest allocation while a test watches: shows what a small hostile file
// can make the decoder allocate. This test program replaces operator new, and
// malloc too (which libpng calls) where no sanitizer owns malloc.
namespace {
std::atomic<bool> g_watching{false};
std::atomic<std::size_t> g_largest{0};

void Watch(std::size_t size) {
  if (!g_watching.load()) return;
  std::size_t largest = g_largest.load();
  while (size > largest && !g_largest.compare_exchange_weak(largest, size)) {
  }
}
}  // namespace

void* operator new(std::size_t size) {
  Watch(size);
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
// GCC takes the free() in a replacement delete for a mismatch with new.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kWatchesMalloc = false;
#else
constexpr bool kWatchesMalloc = true;
extern "C" void* __libc_malloc(std::size_t size) noexcept;
extern "C" void* malloc(std::size_t size) noexcept {
  Watch(size);
  return __libc_malloc(size);
}
#endif

namespace ostrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr PixelFormat kXrgb{16, 8, 0};
constexpr PixelFormat kXbgr{0, 8, 16};
constexpr PixelFormat kRgbx{24, 16, 8};

std::uint32_t Pixel(const PixelFormat& format, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  return (std::uint32_t{r} << format.red_shift) | (std::uint32_t{g} << format.green_shift) |
         (std::uint32_t{b} << format.blue_shift);
}

// Distinct, irregular colours, so that swapped channels, rows or columns show.
std::array<std::uint8_t, 3> Colour(int x, int y) {
  return {static_cast<std::uint8_t>(x * 37 + y * 11), static_cast<std::uint8_t>(x * 5 + y * 71 + 3),
          static_cast<std::uint8_t>((x ^ y) * 13 + 200)};
}

Image Pattern(int width, int height, const PixelFormat& format) {
  Image image(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const auto c = Colour(x, y);
      image.At(x, y) = Pixel(format, c[0], c[1], c[2]);
    }
  }
  return image;
}

// libpng's simplified reader, independent of the code under test: the PNG as
// 8-bit RGB bytes.
struct Rgb {
  int width = 0;
  int height = 0;
  Bytes bytes;
};
std::optional<Rgb> ReadWithLibpng(const Bytes& png) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_memory(&image, png.data(), png.size()) == 0) return std::nullopt;
  image.format = PNG_FORMAT_RGB;
  Rgb rgb{static_cast<int>(image.width), static_cast<int>(image.height),
          Bytes(PNG_IMAGE_SIZE(image))};
  if (png_image_finish_read(&image, nullptr, rgb.bytes.data(), 0, nullptr) == 0) {
    return std::nullopt;
  }
  return rgb;
}

// --- Writing test pictures in every PNG layout ----------------------------------

struct Layout {
  const char* name;
  int colour_type;
  int bit_depth;
  bool interlaced = false;
};

[[noreturn]] void Fail(png_structp png, png_const_charp) { png_longjmp(png, 1); }

void Append(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

// Holds no object with a destructor: libpng may longjmp here.
bool WriteRows(png_structp png, png_infop info, const Layout& layout, int width, int height,
               png_colorp palette, int palette_size, png_bytep trns, int trns_size,
               png_bytepp rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height),
               layout.bit_depth, layout.colour_type,
               layout.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (palette_size > 0) png_set_PLTE(png, info, palette, palette_size);
  if (trns_size > 0) png_set_tRNS(png, info, trns, trns_size, nullptr);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, info);
  return true;
}

// Writes a width x height picture in `layout` whose samples follow a pattern,
// and returns it with the RGB each pixel must decode to.
std::pair<Bytes, Rgb> MakePng(const Layout& layout, int width, int height) {
  const int channels = layout.colour_type == PNG_COLOR_TYPE_GRAY         ? 1
                       : layout.colour_type == PNG_COLOR_TYPE_GRAY_ALPHA ? 2
                       : layout.colour_type == PNG_COLOR_TYPE_RGB        ? 3
                       : layout.colour_type == PNG_COLOR_TYPE_RGB_ALPHA  ? 4
                                                                         : 1;
  const int depth = layout.bit_depth;
  const int max_sample = (1 << depth) - 1;
  const bool palette = layout.colour_type == PNG_COLOR_TYPE_PALETTE;

  std::vector<png_color> colours;
  std::vector<png_byte> trns;
  if (palette) {
    for (int i = 0; i <= max_sample; ++i) {
      colours.push_back({static_cast<png_byte>(i * 40 + 1), static_cast<png_byte>(255 - i * 7),
                         static_cast<png_byte>(i * i)});
      trns.push_back(static_cast<png_byte>(i * 16));  // transparency is dropped
    }
  }

  const std::size_t row_bytes =
      (static_cast<std::size_t>(width) * static_cast<std::size_t>(channels * depth) + 7) / 8;
  std::vector<Bytes> rows(static_cast<std::size_t>(height), Bytes(row_bytes));
  Rgb expected{width, height, Bytes(static_cast<std::size_t>(width * height) * 3)};
  for (int y = 0; y < height; ++y) {
    Bytes& row = rows[static_cast<std::size_t>(y)];
    for (int x = 0; x < width; ++x) {
      int samples[4] = {};
      for (int c = 0; c < channels; ++c) samples[c] = (x * 7 + y * 13 + c * 101) % (max_sample + 1);
      // Packed samples, most significant first; 16-bit samples big-endian.
      for (int c = 0; c < channels; ++c) {
        const auto bit = static_cast<std::size_t>((x * channels + c) * depth);
        if (depth == 16) {
          row[bit / 8] = static_cast<std::uint8_t>(samples[c] >> 8);
          row[bit / 8 + 1] = static_cast<std::uint8_t>(samples[c]);
        } else {
          const int shift = 8 - depth - static_cast<int>(bit % 8);
          row[bit / 8] = static_cast<std::uint8_t>(row[bit / 8] | (samples[c] << shift));
        }
      }
      // What an 8-bit reader must see: 16-bit scaled with rounding, low depths
      // replicated (a 4-bit 0xA becomes 0xAA), palette indices looked up.
      auto to8 = [&](int sample) {
        if (depth == 16) return static_cast<std::uint8_t>((sample * 255 + 32767) / 65535);
        return static_cast<std::uint8_t>(sample * 255 / max_sample);
      };
      std::uint8_t* out = &expected.bytes[static_cast<std::size_t>((y * width + x) * 3)];
      if (palette) {
        const png_color& p = colours[static_cast<std::size_t>(samples[0])];
        out[0] = p.red;
        out[1] = p.green;
        out[2] = p.blue;
      } else if (channels <= 2) {
        out[0] = out[1] = out[2] = to8(samples[0]);
      } else {
        for (int c = 0; c < 3; ++c) out[c] = to8(samples[c]);
      }
    }
  }

  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, Fail, nullptr);
  png_infop info = png_create_info_struct(png);
  Bytes bytes;
  png_set_write_fn(png, &bytes, Append, nullptr);
  std::vector<png_bytep> row_pointers;
  for (Bytes& row : rows) row_pointers.push_back(row.data());
  const bool written =
      WriteRows(png, info, layout, width, height, colours.data(), static_cast<int>(colours.size()),
                trns.data(), static_cast<int>(trns.size()), row_pointers.data());
  png_destroy_write_struct(&png, &info);
  EXPECT_TRUE(written) << layout.name;
  return {bytes, expected};
}

Rgb ToRgb(const Image& image, const PixelFormat& format) {
  Rgb rgb{image.Width(), image.Height(), {}};
  for (int y = 0; y < image.Height(); ++y) {
    for (int x = 0; x < image.Width(); ++x) {
      const std::uint32_t p = image.At(x, y);
      rgb.bytes.push_back(static_cast<std::uint8_t>(p >> format.red_shift));
      rgb.bytes.push_back(static_cast<std::uint8_t>(p >> format.green_shift));
      rgb.bytes.push_back(static_cast<std::uint8_t>(p >> format.blue_shift));
    }
  }
  return rgb;
}

// --- Hand-made chunk streams, for broken and oversized files ----------------------

void PutU32(Bytes& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void PutChunk(Bytes& out, const char* type, const Bytes& data) {
  PutU32(out, static_cast<std::uint32_t>(data.size()));
  const std::size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  const uLong crc = crc32(0, out.data() + start, static_cast<uInt>(out.size() - start));
  PutU32(out, static_cast<std::uint32_t>(crc));
}

// A signature, an IHDR of the given size (8-bit RGB), and an IDAT holding the
// compressed bytes given.
Bytes Handmade(std::uint32_t width, std::uint32_t height, const Bytes& idat) {
  Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  PutU32(ihdr, width);
  PutU32(ihdr, height);
  ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
  PutChunk(out, "IHDR", ihdr);
  PutChunk(out, "IDAT", idat);
  PutChunk(out, "IEND", {});
  return out;
}

// After changing bytes inside a chunk, makes every chunk's CRC right again, so
// that the damage reaches the decoder instead of the CRC check.
void FixCrcs(Bytes& png) {
  std::size_t at = 8;
  while (at + 12 <= png.size()) {
    const std::uint32_t length = (std::uint32_t{png[at]} << 24) |
                                 (std::uint32_t{png[at + 1]} << 16) |
                                 (std::uint32_t{png[at + 2]} << 8) | png[at + 3];
    if (length > png.size() - at - 12) return;
    const uLong crc = crc32(0, png.data() + at + 4, static_cast<uInt>(length + 4));
    for (int i = 0; i < 4; ++i) {
      png[at + 8 + length + static_cast<std::size_t>(i)] =
          static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    }
    at += 12 + length;
  }
}

Bytes Deflate(const Bytes& raw, int level) {
  uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
  Bytes packed(packed_size);
  EXPECT_EQ(
      compress2(packed.data(), &packed_size, raw.data(), static_cast<uLong>(raw.size()), level),
      Z_OK);
  packed.resize(packed_size);
  return packed;
}

// The largest allocation `run` makes.
template <typename Run>
std::size_t LargestAllocation(Run run) {
  g_largest = 0;
  g_watching = true;
  run();
  g_watching = false;
  return g_largest.load();
}

std::optional<Image> Decode(const Bytes& png, const PixelFormat& format = kXrgb) {
  return DecodePng(png.data(), png.size(), format);
}

// --- Tests ------------------------------------------------------------------------

TEST(PngCodec, EncodesEightBitRgbThatReadsBackExactlyInEveryChannelOrder) {
  const PixelFormat formats[] = {kXrgb, kXbgr, kRgbx};
  const std::pair<int, int> sizes[] = {{1, 1}, {13, 7}, {3, 301}, {257, 2}};
  for (const PixelFormat& format : formats) {
    for (const auto& [width, height] : sizes) {
      SCOPED_TRACE(std::to_string(format.red_shift) + " " + std::to_string(width) + "x" +
                   std::to_string(height));
      const Image image = Pattern(width, height, format);
      const Bytes png = EncodePng(image, format);
      // IHDR: bit depth 8, colour type 2 (RGB).
      ASSERT_GT(png.size(), 26U);
      EXPECT_EQ(png[24], 8);
      EXPECT_EQ(png[25], 2);

      const std::optional<Rgb> independent = ReadWithLibpng(png);
      ASSERT_TRUE(independent);
      const Rgb expected = ToRgb(image, format);
      EXPECT_EQ(independent->width, width);
      EXPECT_EQ(independent->height, height);
      EXPECT_EQ(independent->bytes, expected.bytes);

      const std::optional<Image> decoded = Decode(png, format);
      ASSERT_TRUE(decoded);
      EXPECT_TRUE(SamePixels(*decoded, image));
    }
  }
}

TEST(PngCodec, DecodesIntoTheRequestedFormatWhateverItWasEncodedFrom) {
  const Image image = Pattern(9, 5, kXbgr);
  const std::optional<Image> decoded = Decode(EncodePng(image, kXbgr), kRgbx);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(SamePixels(*decoded, Pattern(9, 5, kRgbx)));
}

TEST(PngCodec, EncodesOnlyTheVisiblePartOfAPictureWithAWideStride) {
  // A view into a larger buffer (as a shared-memory capture is): the bytes past
  // each row's width belong to nobody and must not leak into the picture.
  const int width = 5;
  const int height = 4;
  const std::ptrdiff_t stride = 8;
  auto buffer = std::make_shared<std::vector<std::uint32_t>>(
      static_cast<std::size_t>(stride * height), 0xFFFFFFU);
  Image view(buffer->data(), width, height, stride, buffer);
  const Image pattern = Pattern(width, height, kXrgb);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) view.At(x, y) = pattern.At(x, y);
  }
  const std::optional<Image> decoded = Decode(EncodePng(view, kXrgb));
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(SamePixels(*decoded, pattern));
}

TEST(PngCodec, IgnoresTheUnusedByteOfEachPixel) {
  Image image = Pattern(4, 3, kXrgb);
  Image dirty = image.Clone();
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 4; ++x) dirty.At(x, y) |= 0xAB000000U;
  }
  EXPECT_EQ(EncodePng(dirty, kXrgb), EncodePng(image, kXrgb));
}

TEST(PngCodec, RefusesToEncodeAnEmptyPicture) {
  EXPECT_THROW(EncodePng(Image(), kXrgb), PlatformError);
  EXPECT_THROW(EncodePng(Image(0, 5), kXrgb), PlatformError);
}

TEST(PngCodec, DecodesEveryColourTypeAndBitDepthToRgb) {
  const Layout layouts[] = {
      {"grey 1", PNG_COLOR_TYPE_GRAY, 1},
      {"grey 2", PNG_COLOR_TYPE_GRAY, 2},
      {"grey 4", PNG_COLOR_TYPE_GRAY, 4},
      {"grey 8", PNG_COLOR_TYPE_GRAY, 8},
      {"grey 16", PNG_COLOR_TYPE_GRAY, 16},
      {"grey+alpha 8", PNG_COLOR_TYPE_GRAY_ALPHA, 8},
      {"grey+alpha 16", PNG_COLOR_TYPE_GRAY_ALPHA, 16},
      {"palette 1", PNG_COLOR_TYPE_PALETTE, 1},
      {"palette 2", PNG_COLOR_TYPE_PALETTE, 2},
      {"palette 4", PNG_COLOR_TYPE_PALETTE, 4},
      {"palette 8", PNG_COLOR_TYPE_PALETTE, 8},
      {"rgb 8", PNG_COLOR_TYPE_RGB, 8},
      {"rgb 16", PNG_COLOR_TYPE_RGB, 16},
      {"rgba 8", PNG_COLOR_TYPE_RGB_ALPHA, 8},
      {"rgba 16", PNG_COLOR_TYPE_RGB_ALPHA, 16},
      {"rgb 8 interlaced", PNG_COLOR_TYPE_RGB, 8, true},
      {"palette 2 interlaced", PNG_COLOR_TYPE_PALETTE, 2, true},
      {"grey+alpha 16 interlaced", PNG_COLOR_TYPE_GRAY_ALPHA, 16, true},
  };
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    // Odd sizes: partial bytes at the end of packed rows, partial interlace passes.
    const auto [png, expected] = MakePng(layout, 11, 7);
    for (const PixelFormat& format : {kXrgb, kXbgr}) {
      const std::optional<Image> decoded = Decode(png, format);
      ASSERT_TRUE(decoded);
      const Rgb rgb = ToRgb(*decoded, format);
      EXPECT_EQ(rgb.width, 11);
      EXPECT_EQ(rgb.height, 7);
      EXPECT_EQ(rgb.bytes, expected.bytes);
      // Alpha is dropped: the unused byte stays zero.
      EXPECT_EQ(decoded->At(10, 6) & ~Pixel(format, 255, 255, 255), 0U);
    }
  }
}

TEST(PngCodec, RejectsDataThatIsNotAWholeValidPng) {
  const Bytes good = EncodePng(Pattern(40, 30, kXrgb), kXrgb);
  ASSERT_TRUE(Decode(good));

  EXPECT_FALSE(DecodePng(nullptr, 0, kXrgb));
  EXPECT_FALSE(Decode(Bytes{}));
  EXPECT_FALSE(Decode(Bytes{'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0, 0, 0}));

  // Cut anywhere: in the signature, the header, the data, or before the end chunk.
  for (std::size_t length = 1; length < good.size(); length += length < 64 ? 1 : 7) {
    const Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_FALSE(Decode(cut)) << "cut at " << length;
  }

  // A damaged byte caught by the chunk's CRC.
  Bytes damaged = good;
  damaged[good.size() / 2] ^= 0x55;
  EXPECT_FALSE(Decode(damaged));

  // Compressed data that is not a valid zlib stream, behind correct CRCs.
  EXPECT_FALSE(Decode(Handmade(4, 4, Bytes{0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4})));
  // Too little picture data for the size the header claims.
  EXPECT_FALSE(Decode(Handmade(4, 4, Deflate(Bytes(3 * 4 + 4, 0), 6))));
}

TEST(PngCodec, SurvivesRandomDamageBehindCorrectChecksums) {
  // Each damaged file either decodes to a picture of the original size or is
  // rejected; none may crash or read out of bounds (the sanitizer build checks).
  const Bytes good = EncodePng(Pattern(23, 17, kXrgb), kXrgb);
  std::mt19937 random(12345);
  for (int trial = 0; trial < 400; ++trial) {
    Bytes damaged = good;
    const int changes = 1 + trial % 4;
    for (int i = 0; i < changes; ++i) {
      const std::size_t at = 8 + random() % (damaged.size() - 8);
      damaged[at] = static_cast<std::uint8_t>(random());
    }
    FixCrcs(damaged);
    const std::optional<Image> decoded = Decode(damaged);
    if (decoded) {
      EXPECT_LE(decoded->Width(), 32767);
      EXPECT_LE(std::size_t(decoded->Width()) * std::size_t(decoded->Height()),
                std::size_t{1} << 26);
    }
  }
}

TEST(PngCodec, RejectsAbsurdSizesWithoutAllocatingThem) {
  const Bytes idat = {0x78, 0x01, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01};
  EXPECT_FALSE(Decode(Handmade(1000000, 1, idat)));  // wider than any screen
  EXPECT_FALSE(Decode(Handmade(1, 1000000, idat)));
  EXPECT_FALSE(Decode(Handmade(0x80000000U, 1, idat)));  // beyond what PNG allows
  EXPECT_FALSE(Decode(Handmade(0, 10, idat)));
  // Within the side limit, but 900 million pixels (3.6 GB) from a few bytes.
  EXPECT_FALSE(Decode(Handmade(30000, 30000, idat)));
}

TEST(PngCodec, RefusesAPictureItsDataCannotHoldBeforeAllocatingIt) {
  // 8192 x 8192 claimed by a 69-byte file: deflate expands at most 1032 times,
  // so the data cannot be there. It used to allocate and clear 256 MiB first.
  const Bytes hostile = Handmade(8192, 8192, Deflate(Bytes(100, 0), 9));
  bool decoded = true;
  EXPECT_LT(LargestAllocation([&] { decoded = Decode(hostile).has_value(); }), 1U << 20);
  EXPECT_FALSE(decoded);

  // Rows of zeros at zlib's best compression come close to that ratio, and
  // still decode.
  constexpr std::uint32_t side = 2048;
  const Bytes zeros =
      Handmade(side, side, Deflate(Bytes(std::size_t{side} * (1 + side * 3), 0), 9));
  ASSERT_GT(side * side * 3, zeros.size() * 1000);
  const std::optional<Image> black = Decode(zeros);
  ASSERT_TRUE(black);
  EXPECT_EQ(black->Width(), 2048);
  EXPECT_EQ(black->At(2047, 2047), 0U);
}

// Inserts a chunk right after the header chunk.
Bytes WithChunk(const Bytes& png, const char* type, const Bytes& data, std::uint32_t length) {
  Bytes out(png.begin(), png.begin() + 33);
  PutU32(out, length);
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  PutU32(out,
         static_cast<std::uint32_t>(crc32(0, out.data() + 37, static_cast<uInt>(data.size() + 4))));
  out.insert(out.end(), png.begin() + 33, png.end());
  return out;
}

TEST(PngCodec, SkipsTheChunksItDoesNotUseWithoutAllocatingThem) {
  const Image image = Pattern(6, 4, kXrgb);
  const Bytes good = EncodePng(image, kXrgb);
  // Text, gamma, a suggested palette: read past, the picture stays the same.
  for (const auto& [type, data] :
       std::vector<std::pair<const char*, Bytes>>{{"tEXt", {'T', 'i', 't', 'l', 'e', 0, 'x'}},
                                                  {"gAMA", {0, 0, 0xB1, 0x8F}},
                                                  {"sPLT", {'p', 0, 8, 1, 2, 3, 4, 0, 1}}}) {
    const std::optional<Image> decoded =
        Decode(WithChunk(good, type, data, static_cast<std::uint32_t>(data.size())));
    ASSERT_TRUE(decoded) << type;
    EXPECT_TRUE(SamePixels(*decoded, image)) << type;
  }
  // A suggested palette claiming 2 GiB in a 70-byte file: libpng allocated all
  // of it before finding the data missing.
  const Bytes hostile = WithChunk(good, "sPLT", {'p', 0, 8}, 0x7FFFFFF0U);
  bool decoded = true;
  const std::size_t largest = LargestAllocation(
      [&] { decoded = Decode(Bytes(hostile.begin(), hostile.begin() + 70)).has_value(); });
  EXPECT_FALSE(decoded);
  if (kWatchesMalloc) {
    EXPECT_LT(largest, 1U << 20);
  }
}

TEST(PngCodec, DecodesALargePictureWithinTheLimits) {
  const Image image = Pattern(2560, 1440, kXrgb);
  const std::optional<Image> decoded = Decode(EncodePng(image, kXrgb));
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(SamePixels(*decoded, image));
}

}  // namespace
}  // namespace ostrel
