// The clipboard's DIB reader and writer: what the writer produces must read back
// exactly; what the reader gets may be any DIB another program put on the
// clipboard, including broken or hostile ones. Every DIB here is written field
// by field, little-endian, by the test itself.

#include "platform/dib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>
#include <string>

#include "platform/platform.h"

namespace ostrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr PixelFormat kXrgb{16, 8, 0};
constexpr PixelFormat kXbgr{0, 8, 16};
constexpr PixelFormat kRgbx{24, 16, 8};

// Colours as 0xRRGGBB.
constexpr std::uint32_t kA = 0x0A141E;
constexpr std::uint32_t kB = 0xC89664;
constexpr std::uint32_t kC = 0x3264FA;
constexpr std::uint32_t kRed = 0xFF0000;
constexpr std::uint32_t kGreen = 0x00FF00;
constexpr std::uint32_t kBlue = 0x0000FF;
constexpr std::uint32_t kWhite = 0xFFFFFF;

class LittleEndian {
 public:
  LittleEndian& U8(std::uint32_t v) {
    bytes_.push_back(static_cast<std::uint8_t>(v));
    return *this;
  }
  LittleEndian& U16(std::uint32_t v) { return U8(v).U8(v >> 8); }
  LittleEndian& U32(std::uint32_t v) { return U16(v).U16(v >> 16); }
  LittleEndian& I32(std::int32_t v) { return U32(static_cast<std::uint32_t>(v)); }
  LittleEndian& Raw(const Bytes& b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
  }
  LittleEndian& ZerosUpTo(std::size_t size) {
    bytes_.resize(std::max(size, bytes_.size()));
    return *this;
  }
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

// The fields of a hand-made DIB. `masks` follow a 40-byte header, or sit in a
// larger one (unset ones there are zero); `table` holds 0xRRGGBB colours.
struct Dib {
  std::uint32_t header_size = 40;
  std::int32_t width = 3;
  std::int32_t height = 2;
  std::uint32_t planes = 1;
  std::uint32_t bits = 24;
  std::uint32_t compression = 0;
  std::uint32_t colours_used = 0;
  std::vector<std::uint32_t> masks = {};
  std::vector<std::uint32_t> table = {};
  Bytes rows = {};  // as stored, padding included
};

Bytes Build(const Dib& dib) {
  LittleEndian out;
  out.U32(dib.header_size);
  if (dib.header_size == 12) {
    out.U16(static_cast<std::uint32_t>(dib.width)).U16(static_cast<std::uint32_t>(dib.height));
    out.U16(dib.planes).U16(dib.bits);
  } else {
    out.I32(dib.width).I32(dib.height).U16(dib.planes).U16(dib.bits).U32(dib.compression);
    out.U32(static_cast<std::uint32_t>(dib.rows.size())).I32(2835).I32(2835);
    out.U32(dib.colours_used).U32(0);
    if (dib.header_size > 40) {
      for (std::uint32_t m : dib.masks) out.U32(m);
      out.ZerosUpTo(dib.header_size);
    }
  }
  if (dib.header_size == 40) {
    for (std::uint32_t m : dib.masks) out.U32(m);
  }
  for (std::uint32_t c : dib.table) {
    out.U8(c).U8(c >> 8).U8(c >> 16);
    if (dib.header_size != 12) out.U8(0);
  }
  out.Raw(dib.rows);
  return out.bytes();
}

std::vector<std::uint32_t> FullTable(int entries) {
  std::vector<std::uint32_t> table = {};
  for (int i = 0; i < entries; ++i) {
    table.push_back(static_cast<std::uint32_t>((i << 16) | ((255 - i) << 8) | ((i * 3) & 0xFF)));
  }
  return table;
}

// The picture as 0xRRGGBB values, rows top to bottom.
std::vector<std::uint32_t> Rgb(const Image& image, const PixelFormat& format) {
  std::vector<std::uint32_t> rgb;
  for (int y = 0; y < image.Height(); ++y) {
    for (int x = 0; x < image.Width(); ++x) {
      const std::uint32_t p = image.At(x, y);
      rgb.push_back((((p >> format.red_shift) & 0xFF) << 16) |
                    (((p >> format.green_shift) & 0xFF) << 8) | ((p >> format.blue_shift) & 0xFF));
    }
  }
  return rgb;
}

std::optional<Image> Decode(const Bytes& dib, const PixelFormat& format = kXrgb) {
  return DecodeDib(dib.data(), dib.size(), format);
}

struct DecodeCase {
  const char* name;
  Dib dib;
  std::vector<std::uint32_t> expected;  // rows top to bottom, |width| x |height| of the header
  Bytes trailing = {};                  // bytes after the pixel rows
  bool shorter_is_valid = false;        // some cuts still hold a valid (other) DIB
};

const std::vector<std::uint32_t> kTable256 = FullTable(256);
const Bytes k24Rows = {0x1E, 0x14, 0x0A, 0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0,
                       0x64, 0x96, 0xC8, 0xFA, 0x64, 0x32, 0xFF, 0,    0,    0, 0, 0};
const std::vector<std::uint32_t> k8Expected = {kTable256[7], kTable256[8],   kTable256[9],
                                               kTable256[0], kTable256[128], kTable256[255]};

// clang-format off
const DecodeCase kDecodeCases[] = {
    {"1 bpp, bottom-up, padded rows",
     {.bits = 1, .table = {kA, kB}, .rows = {0xA0, 0, 0, 0, 0x60, 0, 0, 0}},
     {kA, kB, kB, kB, kA, kB}},
    {"1 bpp, ten pixels over two bytes",
     {.width = 10, .height = 1, .bits = 1, .table = {kA, kB}, .rows = {0xB0, 0x40, 0, 0}},
     {kB, kA, kB, kB, kA, kA, kA, kA, kA, kB}},
    {"4 bpp, top-down, short table: indices past it are black",
     {.height = -2, .bits = 4, .colours_used = 3, .table = {kA, kB, kC},
      .rows = {0x01, 0x20, 0, 0, 0x2F, 0x10, 0, 0}}, {kA, kB, kC, kC, 0, kB}},
    {"8 bpp, full table when none is counted",
     {.bits = 8, .table = kTable256, .rows = {0, 128, 255, 0, 7, 8, 9, 0}}, k8Expected},
    {"8 bpp, core header: 3-byte table entries",
     {.header_size = 12, .bits = 8, .table = kTable256, .rows = {0, 128, 255, 0, 7, 8, 9, 0}},
     k8Expected},
    {"16 bpp 5-5-5, top bit unused",
     {.bits = 16, .rows = {0x00, 0x7C, 0xE0, 0x03, 0x1F, 0x00, 0, 0,
                           0x00, 0x80, 0xFF, 0x7F, 0x10, 0x42, 0, 0}},
     {0, kWhite, 0x848484, kRed, kGreen, kBlue}},
    {"16 bpp 5-6-5, masks after a 40-byte header",
     {.bits = 16, .compression = 3, .masks = {0xF800, 0x07E0, 0x001F},
      .rows = {0x00, 0xF8, 0xE0, 0x07, 0x20, 0x00, 0, 0, 0x41, 0x08, 0xFF, 0xFF, 0x1F, 0x00, 0, 0}},
     {0x080808, kWhite, kBlue, kRed, kGreen, 0x000400}},
    // 3/31, 11/63 and 28/31 of 255: 24.7, 44.5, 230.3
    {"16 bpp 5-6-5, narrow channels round to the nearest 8-bit value",
     {.width = 1, .height = 1, .bits = 16, .compression = 3, .masks = {0xF800, 0x07E0, 0x001F},
      .rows = {0x7C, 0x19, 0, 0}}, {0x192DE6}},
    {"16 bpp 4-4-4, alpha bitfields: four masks after a 40-byte header",
     {.width = 1, .height = 1, .bits = 16, .compression = 6,
      .masks = {0x0F00, 0x00F0, 0x000F, 0xF000}, .rows = {0x23, 0xF1, 0, 0}}, {0x112233}},
    {"16 bpp, V5 header without compression ignores its masks",
     {.header_size = 124, .width = 1, .height = 1, .bits = 16, .masks = {0x1, 0x2, 0x4},
      .rows = {0x1F, 0x00, 0, 0}}, {kBlue}},
    {"24 bpp, bottom-up", {.rows = k24Rows}, {kB, kC, kBlue, kA, kRed, kWhite}},
    {"24 bpp, core header", {.header_size = 12, .rows = k24Rows},
     {kB, kC, kBlue, kA, kRed, kWhite}},
    {"32 bpp, the fourth byte is dropped",
     {.width = 2, .bits = 32, .rows = {0x1E, 0x14, 0x0A, 0x80, 0, 0, 0xFF, 0xFF,
                                       0x64, 0x96, 0xC8, 0x01, 0xFF, 0xFF, 0xFF, 0x00}},
     {kB, kWhite, kA, kRed}},
    {"32 bpp, masks after a 40-byte header, red in the low byte",
     {.width = 2, .height = 1, .bits = 32, .compression = 3,
      .masks = {0x0000FF, 0x00FF00, 0xFF0000}, .rows = {0x0A, 0x14, 0x1E, 0, 0xFF, 0, 0, 0}},
     {kA, kRed}},
    {"32 bpp, alpha bitfields after a 40-byte header",
     {.width = 1, .height = 1, .bits = 32, .compression = 6,
      .masks = {0xFF000000, 0x00FF0000, 0x0000FF00, 0x000000FF}, .rows = {0x77, 0x1E, 0x14, 0x0A}},
     {kA}},
    {"32 bpp, 52-byte header holds the masks",
     {.header_size = 52, .width = 1, .height = 1, .bits = 32, .compression = 3,
      .masks = {0x00FF0000, 0x0000FF00, 0x000000FF}, .rows = {0x64, 0x96, 0xC8, 0}}, {kB}},
    {"32 bpp, 56-byte header, alpha bitfields",
     {.header_size = 56, .width = 1, .height = 1, .bits = 32, .compression = 6,
      .masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000}, .rows = {0x64, 0x96, 0xC8, 0x55}},
     {kB}},
    {"32 bpp, V4 header, top-down",
     {.header_size = 108, .width = 1, .height = -2, .bits = 32, .compression = 3,
      .masks = {0x00FF0000, 0x0000FF00, 0x000000FF},
      .rows = {0x64, 0x96, 0xC8, 0, 0x1E, 0x14, 0x0A, 0}},
     {kB, kA}},
    {"32 bpp, V5 header, 10-bit channels keep their top 8 bits",
     {.header_size = 124, .width = 2, .height = 1, .bits = 32, .compression = 3,
      .masks = {0x3FF00000, 0x000FFC00, 0x000003FF},
      .rows = {0x01, 0x00, 0xF8, 0x3F, 0xFF, 0xFF, 0xFF, 0xFF}}, {0xFF8000, kWhite}},
    {"32 bpp, a colour table for palette displays is skipped",
     {.width = 1, .height = 1, .bits = 32, .colours_used = 2, .table = {kWhite, kWhite},
      .rows = {0x1E, 0x14, 0x0A, 0}}, {kA}},
    {"32 bpp, V5 header with its masks repeated after it",
     {.header_size = 124, .width = 1, .height = 1, .bits = 32, .compression = 3,
      .masks = {0xFF0000, 0xFF00, 0xFF},
      .rows = {0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0, 0x1E, 0x14, 0x0A, 0}}, {kA}, {}, true},
    {"32 bpp, V5 header, first pixels equal to the masks are pixels",
     {.header_size = 124, .height = 1, .bits = 32, .compression = 3,
      .masks = {0xFF0000, 0xFF00, 0xFF},
      .rows = {0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0}}, {kRed, kGreen, kBlue}},
    {"24 bpp, bytes after the rows are ignored (clipboard memory rounds up)",
     {.width = 1, .height = 1, .rows = {0x1E, 0x14, 0x0A, 0}}, {kA}, Bytes(16, 0xEE)},
};
// clang-format on

// Each DIB decodes to its picture, and draws into a frame from its top-left
// corner, clipped, with the rest of the frame filled.
TEST(Dib, DecodesAndDrawsEveryBitDepthHeaderAndRowOrder) {
  constexpr std::uint32_t kFill = 0x5A5A5A;
  for (const DecodeCase& c : kDecodeCases) {
    SCOPED_TRACE(c.name);
    Bytes dib = Build(c.dib);
    dib.insert(dib.end(), c.trailing.begin(), c.trailing.end());
    const int w = c.dib.width;
    const int h = std::abs(c.dib.height);
    for (const PixelFormat& format : {kXrgb, kXbgr, kRgbx}) {
      const std::optional<Image> image = Decode(dib, format);
      ASSERT_TRUE(image);
      EXPECT_EQ(image->Width(), w);
      EXPECT_EQ(image->Height(), h);
      EXPECT_EQ(Rgb(*image, format), c.expected);
      const std::pair<int, int> sizes[] = {{1, 1}, {w, h}, {w + 2, h + 1}, {std::max(w - 1, 1), 3}};
      for (const auto& [width, height] : sizes) {
        Image frame(width, height);
        frame.Fill(0xDEADBEEF);
        ASSERT_TRUE(DrawDib(dib.data(), dib.size(), format, frame, kFill));
        for (int y = 0; y < height; ++y) {
          for (int x = 0; x < width; ++x) {
            ASSERT_EQ(frame.At(x, y), x < w && y < h ? image->At(x, y) : kFill)
                << x << "," << y << " in " << width << "x" << height;
          }
        }
      }
    }
    // Cut anywhere before its end, the same DIB is refused.
    if (c.trailing.empty() && !c.shorter_is_valid) {
      for (std::size_t length = 0; length < dib.size(); ++length) {
        EXPECT_FALSE(DecodeDib(dib.data(), length, kXrgb)) << "cut at " << length;
      }
    }
  }
}

Image Pattern(int width, int height, const PixelFormat& format) {
  Image image(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const auto r = static_cast<std::uint32_t>(x * 37 + y * 11) & 0xFF;
      const auto g = static_cast<std::uint32_t>(x * 5 + y * 71 + 3) & 0xFF;
      const auto b = static_cast<std::uint32_t>((x ^ y) * 13 + 200) & 0xFF;
      image.At(x, y) =
          (r << format.red_shift) | (g << format.green_shift) | (b << format.blue_shift);
    }
  }
  return image;
}

TEST(Dib, EncodesA40ByteHeader32BitBottomUpDibThatReadsBackExactly) {
  const std::pair<int, int> sizes[] = {{1, 1}, {3, 2}, {13, 7}, {257, 3}};
  for (const PixelFormat& format : {kXrgb, kXbgr, kRgbx}) {
    for (const auto& [width, height] : sizes) {
      SCOPED_TRACE(std::to_string(format.red_shift) + " " + std::to_string(width) + "x" +
                   std::to_string(height));
      Image image = Pattern(width, height, format);
      const Bytes dib = EncodeDib(image, format);
      const std::size_t pixel_bytes = static_cast<std::size_t>(width * height) * 4;
      ASSERT_EQ(dib.size(), 40 + pixel_bytes);
      LittleEndian header;
      header.U32(40).I32(width).I32(height).U16(1).U16(32).U32(0).U32(
          static_cast<std::uint32_t>(pixel_bytes));
      EXPECT_EQ(Bytes(dib.begin(), dib.begin() + 24), header.bytes());
      // The bottom row comes first, each pixel blue, green, red, zero.
      const std::uint32_t bottom_left =
          Rgb(image, format)[static_cast<std::size_t>((height - 1) * width)];
      EXPECT_EQ(Bytes(dib.begin() + 40, dib.begin() + 44),
                (Bytes{static_cast<std::uint8_t>(bottom_left),
                       static_cast<std::uint8_t>(bottom_left >> 8),
                       static_cast<std::uint8_t>(bottom_left >> 16), 0}));

      const std::optional<Image> decoded = Decode(dib, format);
      ASSERT_TRUE(decoded);
      EXPECT_TRUE(SamePixels(*decoded, image));
    }
  }
}

TEST(Dib, EncodesOnlyThePictureOfAViewAndNotItsUnusedByte) {
  // A view into a wider buffer, as a shared-memory capture is, whose unused
  // byte holds garbage.
  const int width = 5;
  const int height = 4;
  auto buffer = std::make_shared<std::vector<std::uint32_t>>(8 * height, 0xFFFFFFFFU);
  Image view(buffer->data(), width, height, 8, buffer);
  const Image pattern = Pattern(width, height, kXrgb);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) view.At(x, y) = pattern.At(x, y) | 0xAB000000U;
  }
  EXPECT_EQ(EncodeDib(view, kXrgb), EncodeDib(pattern, kXrgb));
  EXPECT_THROW(EncodeDib(Image(), kXrgb), PlatformError);
  EXPECT_THROW(EncodeDib(Image(0, 3), kXrgb), PlatformError);
}

TEST(Dib, EncodesIntoTheCallersMemoryOfExactlyItsSize) {
  // Clipboard memory comes uncleared: every byte must be written.
  const Image image = Pattern(7, 3, kXbgr);
  Bytes memory(EncodedDibSize(7, 3), 0xCD);
  ASSERT_EQ(memory.size(), 40U + 7 * 3 * 4);
  EncodeDibInto(image, kXbgr, memory.data(), memory.size());
  EXPECT_EQ(memory, EncodeDib(image, kXbgr));
  EXPECT_THROW(EncodeDibInto(image, kXbgr, memory.data(), memory.size() - 1), PlatformError);
  EXPECT_THROW(EncodeDibInto(image, kXbgr, memory.data(), memory.size() + 1), PlatformError);
  EXPECT_THROW(EncodeDibInto(image, kXbgr, nullptr, memory.size()), PlatformError);
  EXPECT_EQ(EncodedDibSize(16384, 16384), 40U + (std::size_t{1} << 30));
  EXPECT_THROW(EncodedDibSize(16385, 16384), PlatformError);
  EXPECT_THROW(EncodedDibSize(-1, 5), PlatformError);
}

// A valid 2x2 DIB, 32 bpp with masks after a 40-byte header, to break.
Dib GoodDib() {
  return {.width = 2,
          .bits = 32,
          .compression = 3,
          .masks = {0xFF0000, 0xFF00, 0xFF},
          .rows = Bytes(16, 0x42)};
}

template <typename Change>
Bytes Broken(Change change) {
  Dib dib = GoodDib();
  change(dib);
  return Build(dib);
}

TEST(Dib, RefusesBrokenAndHostileHeaders) {
  ASSERT_TRUE(Decode(Build(GoodDib())));
  std::vector<std::pair<std::string, Bytes>> cases;
  for (const std::uint32_t size : {0U, 11U, 39U, 41U, 64U, 125U, 0xFFFFFFFFU}) {
    Bytes dib = Build(GoodDib());
    for (int i = 0; i < 4; ++i) dib[std::size_t(i)] = static_cast<std::uint8_t>(size >> (8 * i));
    cases.emplace_back("header size " + std::to_string(size), dib);
  }
  // clang-format off
  const std::pair<const char*, Bytes> changed[] = {
      {"width 0", Broken([](Dib& d) { d.width = 0; })},
      {"negative width", Broken([](Dib& d) { d.width = -2; })},
      {"height 0", Broken([](Dib& d) { d.height = 0; })},
      {"height INT_MIN", Broken([](Dib& d) { d.height = INT_MIN; })},
      {"2^32 pixels", Broken([](Dib& d) { d.width = d.height = 65536; })},
      {"largest sides", Broken([](Dib& d) { d.width = d.height = INT_MAX; })},
      {"largest sides, top-down", Broken([](Dib& d) { d.width = INT_MAX, d.height = -INT_MAX; })},
      {"a row of 2^32 + 4 bytes", Broken([](Dib& d) { d.width = 0x40000001, d.height = 1; })},
      {"planes 0", Broken([](Dib& d) { d.planes = 0; })},
      {"planes 2", Broken([](Dib& d) { d.planes = 2; })},
      {"0 bpp", Broken([](Dib& d) { d.bits = 0, d.compression = 0; })},
      {"2 bpp", Broken([](Dib& d) { d.bits = 2, d.compression = 0; })},
      {"33 bpp", Broken([](Dib& d) { d.bits = 33, d.compression = 0; })},
      {"64 bpp", Broken([](Dib& d) { d.bits = 64, d.compression = 0; })},
      {"24 bpp with masks", Broken([](Dib& d) { d.bits = 24; })},
      {"8 bpp with masks", Broken([](Dib& d) { d.bits = 8; })},
      {"RLE8", Broken([](Dib& d) { d.bits = 8, d.compression = 1; })},
      {"RLE4", Broken([](Dib& d) { d.bits = 4, d.compression = 2; })},
      {"JPEG inside", Broken([](Dib& d) { d.bits = 0, d.compression = 4; })},
      {"PNG inside", Broken([](Dib& d) { d.bits = 0, d.compression = 5; })},
      {"unknown compression", Broken([](Dib& d) { d.compression = 0xFFFFFFFF; })},
      {"empty red mask", Broken([](Dib& d) { d.masks = {0, 0xFF00, 0xFF}; })},
      {"empty blue mask", Broken([](Dib& d) { d.masks = {0xFF0000, 0xFF00, 0}; })},
      {"overlapping masks", Broken([](Dib& d) { d.masks = {0xFF0000, 0x1FF00, 0xFF}; })},
      {"mask with a hole", Broken([](Dib& d) { d.masks = {0xF0F000, 0x0F00, 0xFF}; })},
      {"16-bit mask beyond 16 bits",
       Broken([](Dib& d) { d.bits = 16, d.masks = {0x1F0000, 0x7E0, 0x1F}; })},
      {"masks cut short", Broken([](Dib& d) { d.masks = {0xFF0000, 0xFF00}, d.rows = {}; })},
      {"V5 masks empty", Broken([](Dib& d) { d.header_size = 124, d.masks = {}; })},
      {"257 colours for 8 bpp",
       Broken([](Dib& d) { d.bits = 8, d.compression = 0, d.colours_used = 257; })},
      {"17 colours for 4 bpp",
       Broken([](Dib& d) { d.bits = 4, d.compression = 0, d.colours_used = 17; })},
      {"3 colours for 1 bpp",
       Broken([](Dib& d) { d.bits = 1, d.compression = 0, d.colours_used = 3; })},
      {"8 bpp table beyond the data",
       Broken([](Dib& d) { d.bits = 8, d.compression = 0, d.table = FullTable(16); })},
      {"table of 2^32 - 1 entries", Broken([](Dib& d) { d.colours_used = 0xFFFFFFFF; })},
      {"table of 2^30 entries (2^32 bytes)", Broken([](Dib& d) { d.colours_used = 0x40000000; })},
      {"table of 2^30 - 10 entries", Broken([](Dib& d) { d.colours_used = 0x3FFFFFF6; })},
      {"core header, 16 bpp",
       Broken([](Dib& d) { d.header_size = 12, d.bits = 16, d.masks = {}; })},
      {"core header, 32 bpp", Broken([](Dib& d) { d.header_size = 12, d.masks = {}; })},
      {"core header, width 0",
       Broken([](Dib& d) { d.header_size = 12, d.bits = 24, d.width = 0, d.masks = {}; })},
      {"core header, planes 0",
       Broken([](Dib& d) { d.header_size = 12, d.bits = 24, d.planes = 0, d.masks = {}; })},
      {"pixel rows one byte short", Broken([](Dib& d) { d.rows.pop_back(); })},
      {"4 bytes", Bytes{40, 0, 0, 0}},
      {"no bytes", Bytes{}},
  };
  // clang-format on
  cases.insert(cases.end(), std::begin(changed), std::end(changed));
  EXPECT_FALSE(DecodeDib(nullptr, 100, kXrgb));
  Image frame(4, 4);
  frame.Fill(0xDEADBEEF);
  const Image untouched = frame.Clone();
  for (const auto& [name, dib] : cases) {
    EXPECT_FALSE(Decode(dib)) << name;
    EXPECT_FALSE(DrawDib(dib.data(), dib.size(), kXrgb, frame, 0)) << name;
  }
  EXPECT_TRUE(SamePixels(frame, untouched)) << "a refused DIB was drawn";
}

TEST(Dib, RefusesMoreThan2To28PixelsEvenWhenTheDataIsThere) {
  // 16385 x 16384 at 1 bpp: 33.6 MB of rows decoding to over 1 GiB.
  Dib dib{.width = 16385, .height = 16384, .bits = 1, .table = {kA, kB}};
  dib.rows.assign(std::size_t{2052} * 16384, 0);
  EXPECT_FALSE(Decode(Build(dib)));
}

TEST(Dib, SurvivesRandomDamageToItsHeaders) {
  // Each damaged DIB is either refused or decodes to a picture whose rows were
  // in the data; none may read out of bounds (the sanitizer build checks).
  std::mt19937 random(2024);
  for (const DecodeCase& c : kDecodeCases) {
    const Bytes good = Build(c.dib);
    for (int trial = 0; trial < 300; ++trial) {
      Bytes damaged = good;
      for (int i = 0; i < 1 + trial % 3; ++i) {
        const std::size_t at = random() % std::min<std::size_t>(damaged.size(), 64);
        damaged[at] = static_cast<std::uint8_t>(random() % 4 == 0 ? 0xFF : random());
      }
      const std::optional<Image> image = Decode(damaged);
      if (image) {
        EXPECT_LE(std::size_t(image->Width()) * std::size_t(image->Height()), damaged.size() * 8);
      }
    }
  }
}

}  // namespace
}  // namespace ostrel
