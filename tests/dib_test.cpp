// The packed-DIB reader and writer: pictures of every supported layout decode
// to the right pixels, and malformed data from another program is refused
// without a byte read past its end.

#include "platform/dib.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

namespace ostrel {
namespace {

// A packed DIB put together field by field. Masks follow a 40-byte header and
// sit inside the longer ones; the palette follows, then the raw rows.
struct DibSpec {
  std::uint32_t header_size = 40;
  std::int32_t width = 3;
  std::int32_t height = 2;
  std::uint32_t planes = 1;
  std::uint32_t bits = 24;
  std::uint32_t compression = 0;
  std::uint32_t colours_used = 0;
  std::vector<std::uint32_t> masks;
  std::vector<std::uint32_t> palette;  // 0x00RRGGBB; three bytes each with the 12-byte header
  std::vector<std::uint8_t> rows;
};

void Put(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    out.push_back(static_cast<std::uint8_t>(i < 4 ? value >> (8 * i) : 0U));
  }
}

std::vector<std::uint8_t> Build(const DibSpec& spec) {
  std::vector<std::uint8_t> out;
  Put(out, spec.header_size, 4);
  if (spec.header_size == 12) {
    Put(out, static_cast<std::uint32_t>(spec.width), 2);
    Put(out, static_cast<std::uint32_t>(spec.height), 2);
    Put(out, spec.planes, 2);
    Put(out, spec.bits, 2);
  } else {
    Put(out, static_cast<std::uint32_t>(spec.width), 4);
    Put(out, static_cast<std::uint32_t>(spec.height), 4);
    Put(out, spec.planes, 2);
    Put(out, spec.bits, 2);
    Put(out, spec.compression, 4);
    Put(out, 0, 12);  // image size, resolution
    Put(out, spec.colours_used, 4);
    Put(out, 0, 4);
    if (spec.header_size > 40) {
      for (const std::uint32_t mask : spec.masks) Put(out, mask, 4);
    }
    out.resize(spec.header_size, 0);
    if (spec.header_size == 40) {
      for (const std::uint32_t mask : spec.masks) Put(out, mask, 4);
    }
  }
  for (const std::uint32_t colour : spec.palette) Put(out, colour, spec.header_size == 12 ? 3 : 4);
  out.insert(out.end(), spec.rows.begin(), spec.rows.end());
  return out;
}

std::vector<std::uint32_t> Pixels(const Image& image) {
  std::vector<std::uint32_t> pixels;
  for (int y = 0; y < image.Height(); ++y) {
    for (int x = 0; x < image.Width(); ++x) pixels.push_back(image.At(x, y));
  }
  return pixels;
}

// 3 x 2, 24 bits, bottom-up: the last row in the data is the top one. Rows are
// 9 bytes padded to 12.
DibSpec Plain24() {
  DibSpec spec;
  spec.rows = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0, 0, 0,
               0xFF, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0, 0, 0};
  return spec;
}

struct DecodeCase {
  const char* name;
  DibSpec spec;
  std::vector<std::uint32_t> expected;  // rows top to bottom, 0x00RRGGBB
};

TEST(PackedDib, DecodesEveryLayout) {
  const std::vector<DecodeCase> cases = {
      {"24 bits bottom-up",
       Plain24(),
       {0x0000FF, 0x00FF00, 0xFF0000, 0x030201, 0x060504, 0x090807}},
      {"24 bits top-down",
       [] {
         auto s = Plain24();
         s.height = -2;
         return s;
       }(),
       {0x030201, 0x060504, 0x090807, 0x0000FF, 0x00FF00, 0xFF0000}},
      {"32 bits, unused byte ignored",
       {40, 2, -1, 1, 32, 0, 0, {}, {}, {0x10, 0x20, 0x30, 0xAB, 0x01, 0x02, 0x03, 0xFF}},
       {0x302010, 0x030201}},
      {"16 bits 5-5-5, channels widened",
       {40, 3, 1, 1, 16, 0, 0, {}, {}, {0xFF, 0x7F, 0x00, 0x7C, 0x10, 0x00, 0, 0}},
       {0xFFFFFF, 0xFF0000, 0x000084}},
      {"16 bits 5-6-5 masks after the header",
       {40,
        3,
        1,
        1,
        16,
        3,
        0,
        {0xF800, 0x07E0, 0x001F},
        {},
        {0x00, 0xF8, 0xE0, 0x07, 0x01, 0x00, 0, 0}},
       {0xFF0000, 0x00FF00, 0x000008}},
      {"32 bits, red and blue swapped in a 124-byte header",
       {124, 1, 1, 1, 32, 3, 0, {0x0000FF, 0x00FF00, 0xFF0000}, {}, {0x11, 0x22, 0x33, 0x00}},
       {0x112233}},
      {"32 bits with an alpha mask after the header",
       {40, 1, 1, 1, 32, 6, 0, {0xFF0000, 0x00FF00, 0x0000FF, 0xFF000000}, {}, {1, 2, 3, 4}},
       {0x030201}},
      {"32 bits, 10 bits a channel keep the top 8",
       {56, 1, 1, 1, 32, 3, 0, {0x3FF00000, 0x000FFC00, 0x000003FF}, {}, {0x00, 0x00, 0xF8, 0x3F}},
       {0xFF8000}},
      {"1 bit, ten pixels over two bytes",
       {40, 10, 1, 1, 1, 0, 0, {}, {0x000000, 0xFFFFFF}, {0b10110000, 0b01000000, 0, 0}},
       {0xFFFFFF, 0, 0xFFFFFF, 0xFFFFFF, 0, 0, 0, 0, 0, 0xFFFFFF}},
      {"4 bits, index past a short palette is black",
       {40, 3, 1, 1, 4, 0, 3, {}, {0x111111, 0x222222, 0x333333}, {0x25, 0x10, 0, 0}},
       {0x333333, 0, 0x222222}},
      {"8 bits",
       {40, 2, 1, 1, 8, 0, 2, {}, {0xABCDEF, 0x123456}, {1, 0, 0, 0}},
       {0x123456, 0xABCDEF}},
      {"12-byte header, 8 bits, 3-byte palette entries",
       [] {
         DibSpec s{12, 2, 1, 1, 8, 0, 0, {}, std::vector<std::uint32_t>(256, 0), {255, 1, 0, 0}};
         s.palette[1] = 0x0A0B0C;
         s.palette[255] = 0x102030;
         return s;
       }(),
       {0x102030, 0x0A0B0C}},
      {"24 bits after an optional palette",
       {40, 1, 1, 1, 24, 0, 2, {}, {0x111111, 0x222222}, {0x01, 0x02, 0x03, 0}},
       {0x030201}},
  };
  for (const DecodeCase& c : cases) {
    const std::vector<std::uint8_t> data = Build(c.spec);
    const auto dib = PackedDib::Parse(data);
    ASSERT_TRUE(dib.has_value()) << c.name;
    EXPECT_EQ(Pixels(dib->Decode()), c.expected) << c.name;
  }
}

TEST(PackedDib, RefusesMalformedOrUnsupportedData) {
  const auto with = [](auto change) {
    DibSpec spec = Plain24();
    change(spec);
    return Build(spec);
  };
  const auto masked16 = [](std::vector<std::uint32_t> masks) {
    return Build({40, 3, 1, 1, 16, 3, 0, std::move(masks), {}, std::vector<std::uint8_t>(8, 0)});
  };
  std::vector<std::uint8_t> short_rows = Build(Plain24());
  short_rows.pop_back();
  const std::vector<std::pair<const char*, std::vector<std::uint8_t>>> cases = {
      {"nothing", {}},
      {"three bytes", {40, 0, 0}},
      {"unknown header size", with([](DibSpec& s) { s.header_size = 64; })},
      {"header longer than the data", with([](DibSpec& s) {
         s.header_size = 124;
         s.rows.clear();
       })},
      {"zero width", with([](DibSpec& s) { s.width = 0; })},
      {"negative width", with([](DibSpec& s) { s.width = -3; })},
      {"zero height", with([](DibSpec& s) { s.height = 0; })},
      {"most negative height", with([](DibSpec& s) { s.height = INT_MIN; })},
      {"two planes", with([](DibSpec& s) { s.planes = 2; })},
      {"2 bits a pixel", with([](DibSpec& s) { s.bits = 2; })},
      {"48 bits a pixel", with([](DibSpec& s) { s.bits = 48; })},
      {"run-length", with([](DibSpec& s) {
         s.compression = 1;
         s.bits = 8;
       })},
      {"JPEG", with([](DibSpec& s) {
         s.compression = 4;
         s.bits = 0;
       })},
      {"masks on 24 bits", with([](DibSpec& s) {
         s.compression = 3;
         s.masks = {0xFF0000, 0xFF00, 0xFF};
       })},
      {"masks cut off", Build({40, 1, 1, 1, 32, 3, 0, {0xFF0000, 0xFF00}, {}, {}})},
      {"zero mask", masked16({0xF800, 0, 0x1F})},
      {"mask with a gap", masked16({0xF000, 0x0F00, 0x0041})},
      {"overlapping masks", masked16({0xFC00, 0x07E0, 0x001F})},
      {"mask past 16 bits", masked16({0x1F800, 0x07E0, 0x001F})},
      {"257 palette entries", with([](DibSpec& s) {
         s.bits = 8;
         s.colours_used = 257;
       })},
      {"palette past the end", with([](DibSpec& s) {
         s.bits = 8;
         s.colours_used = 200;
       })},
      {"rows one byte short", short_rows},
      {"12-byte header, 16 bits", Build({12, 1, 1, 1, 16, 0, 0, {}, {}, {0, 0, 0, 0}})},
      {"more pixels than any screen", with([](DibSpec& s) {
         s.width = 65536;
         s.height = 65536;
       })},
      {"row length overflowing", with([](DibSpec& s) {
         s.width = INT_MAX;
         s.height = 1;
         s.bits = 32;
       })},
  };
  for (const auto& [name, data] : cases) {
    EXPECT_FALSE(PackedDib::Parse(data).has_value()) << name;
  }
}

TEST(PackedDib, EveryTruncationIsRefusedWithoutReadingPastTheEnd) {
  // Each prefix is a buffer of its own, so the address sanitizer sees a read
  // one byte past it.
  for (const DibSpec& spec :
       {Plain24(), DibSpec{40, 10, 1, 1, 1, 0, 0, {}, {0, 0xFFFFFF}, {1, 2, 3, 4}},
        DibSpec{40, 1, 1, 1, 32, 3, 0, {0xFF0000, 0xFF00, 0xFF}, {}, {1, 2, 3, 4}}}) {
    const std::vector<std::uint8_t> full = Build(spec);
    ASSERT_TRUE(PackedDib::Parse(full).has_value());
    for (std::size_t size = 0; size < full.size(); ++size) {
      const std::vector<std::uint8_t> prefix(full.begin(),
                                             full.begin() + static_cast<std::ptrdiff_t>(size));
      EXPECT_FALSE(PackedDib::Parse(prefix).has_value()) << size << " of " << full.size();
    }
  }
}

TEST(PackedDib, WrittenPictureReadsBackBottomUp) {
  Image image(5, 3);
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 5; ++x)
      image.At(x, y) = 0xFF000000U | static_cast<std::uint32_t>(y * 0x10000 + x * 0x101 + 7);
  }
  std::vector<std::uint8_t> data(PackedDibSize(5, 3));
  ASSERT_EQ(data.size(), 40U + 5 * 3 * 4);
  WritePackedDib(image, data);
  // A 40-byte header, positive height (bottom-up), 32 bits, uncompressed.
  EXPECT_EQ(data[0], 40);
  EXPECT_EQ(data[8], 3);
  EXPECT_EQ(data[14], 32);
  EXPECT_EQ(data[16], 0);
  // The first row in the data is the picture's bottom row, the unused byte 0.
  EXPECT_EQ(data[40], image.At(0, 2) & 0xFF);
  EXPECT_EQ(data[43], 0);
  const auto dib = PackedDib::Parse(data);
  ASSERT_TRUE(dib.has_value());
  Image back = dib->Decode();
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 5; ++x) EXPECT_EQ(back.At(x, y), image.At(x, y) & 0x00FFFFFFU);
  }
  std::vector<std::uint8_t> wrong(data.size() - 1);
  EXPECT_THROW(WritePackedDib(image, wrong), std::invalid_argument);
}

TEST(PackedDib, DrawsClippedIntoAnyTargetAndFillsTheRest) {
  const std::vector<std::uint8_t> data = Build(Plain24());
  const auto dib = PackedDib::Parse(data);
  ASSERT_TRUE(dib.has_value());
  Image small(2, 1);
  dib->DrawInto(small, 0x123456);
  EXPECT_EQ(Pixels(small), (std::vector<std::uint32_t>{0x0000FF, 0x00FF00}));
  Image large(4, 3);
  large.Fill(0xDEAD);
  dib->DrawInto(large, 0x777777);
  const std::uint32_t f = 0x777777;
  EXPECT_EQ(Pixels(large), (std::vector<std::uint32_t>{0x0000FF, 0x00FF00, 0xFF0000, f,  //
                                                       0x030201, 0x060504, 0x090807, f,  //
                                                       f, f, f, f}));
}

}  // namespace
}  // namespace ostrel
