// The clipboards' PNG, made once from what the lender shows and kept.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/png_codec.h"
#include "platform/png_once.h"

namespace ostrel {
namespace {

Picture Pattern(int width, int height, std::uint32_t seed) {
  auto image = std::make_shared<Image>(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      image->At(x, y) = (seed * 2654435761U + static_cast<std::uint32_t>(x * 977 + y * 131)) &
                        0xFFFFFFU;
    }
  }
  return image;
}

bool PngShows(const std::shared_ptr<const PngBytes>& png, const Image& expected) {
  if (png == nullptr) return false;
  const std::optional<Image> decoded = DecodePng(png->data(), png->size(), PixelFormat{});
  return decoded && SamePixels(*decoded, expected);
}

TEST(PngOnce, EncodedFromWhatTheLenderShowsOnceAndKept) {
  const Picture drawn_on = Pattern(37, 23, 1);
  const Picture clean = Pattern(37, 23, 2);
  int lends = 0;
  PngOnce png{PixelFormat{}};
  png.Reset(drawn_on, [&](const auto& use) {
    ++lends;
    use(*clean);
  });
  EXPECT_EQ(lends, 0) << "nothing is encoded before someone asks";
  const auto first = png.Get();
  const auto second = png.Get();
  EXPECT_TRUE(PngShows(first, *clean)) << "the PNG must be the picture as lent, not as drawn on";
  EXPECT_EQ(first, second);
  EXPECT_EQ(lends, 1);
  EXPECT_EQ(png.picture(), drawn_on);
}

TEST(PngOnce, Cases) {
  const Picture first = Pattern(16, 9, 3);
  const Picture second = Pattern(9, 16, 4);
  struct Case {
    std::string name;
    std::function<void(PngOnce&)> act;
    Picture expected;  // null: no PNG
  };
  const std::vector<Case> cases = {
      {"without a lender the picture itself",
       [&](PngOnce& png) { png.Reset(first, nullptr); }, first},
      {"a new picture replaces the kept PNG",
       [&](PngOnce& png) {
         png.Reset(first, nullptr);
         png.Get();
         png.Reset(second, nullptr);
       },
       second},
      {"cleared: nothing",
       [&](PngOnce& png) {
         png.Reset(first, nullptr);
         png.Get();
         png.Clear();
       },
       nullptr},
      {"a lender that fails once is asked again",
       [&](PngOnce& png) {
         auto failures = std::make_shared<int>(1);
         png.Reset(second, [&, failures](const auto& use) {
           if ((*failures)-- > 0) throw std::runtime_error("no memory");
           use(*first);
         });
         EXPECT_EQ(png.Get(), nullptr);
       },
       first},
  };
  for (const Case& c : cases) {
    PngOnce png{PixelFormat{}};
    c.act(png);
    const auto bytes = png.Get();
    if (c.expected == nullptr) {
      EXPECT_EQ(bytes, nullptr) << c.name;
    } else {
      EXPECT_TRUE(PngShows(bytes, *c.expected)) << c.name;
    }
  }
}

}  // namespace
}  // namespace ostrel
