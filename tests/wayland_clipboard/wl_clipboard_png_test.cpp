// The clipboard's plain bookkeeping: the PNG made once from what the lender
// shows, and the other clients' offers kept exactly while a selection names
// them.

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/png_codec.h"
#include "platform/wayland/wl_clipboard_channel.h"
#include "platform/wayland/wl_clipboard_png.h"

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

TEST(WaylandClipboardPng, EncodedFromWhatTheLenderShowsOnceAndKept) {
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

TEST(WaylandClipboardPng, Cases) {
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

// --- Offers -------------------------------------------------------------------

std::vector<std::uintptr_t> destroyed;

void RecordDestroy(wl_proxy* offer) { destroyed.push_back(reinterpret_cast<std::uintptr_t>(offer)); }

wl_proxy* Offer(std::uintptr_t id) { return reinterpret_cast<wl_proxy*>(id * 16); }

TEST(WaylandClipboardOffers, KeptWhileASelectionNamesThem) {
  struct Step {
    char kind;  // 'a' add, 's' selection, 'p' primary, 'd' drag; id 0 is null
    std::uintptr_t id;
  };
  struct Case {
    std::string name;
    std::vector<Step> steps;
    std::set<std::uintptr_t> destroyed;
    std::size_t kept;
  };
  const std::vector<Case> cases = {
      {"a new selection replaces the old", {{'a', 1}, {'s', 1}, {'a', 2}, {'s', 2}}, {1}, 1},
      {"the selection cleared", {{'a', 1}, {'s', 1}, {'s', 0}}, {1}, 0},
      {"the primary stays when the selection changes",
       {{'a', 1}, {'s', 1}, {'a', 2}, {'p', 2}, {'a', 3}, {'s', 3}}, {1}, 2},
      {"one offer for both selections lives while either names it",
       {{'a', 1}, {'s', 1}, {'p', 1}, {'s', 0}}, {}, 1},
      {"a drag's offer goes at the leave", {{'a', 1}, {'s', 1}, {'a', 2}, {'d', 2}, {'d', 0}},
       {2}, 1},
  };
  for (const Case& c : cases) {
    destroyed.clear();
    {
      OfferSet offers(&RecordDestroy);
      for (const Step& step : c.steps) {
        wl_proxy* offer = step.id == 0 ? nullptr : Offer(step.id);
        switch (step.kind) {
          case 'a': offers.Add(offer); break;
          case 's': offers.Select(OfferSet::kSelection, offer); break;
          case 'p': offers.Select(OfferSet::kPrimary, offer); break;
          default: offers.Select(OfferSet::kDrag, offer); break;
        }
      }
      std::set<std::uintptr_t> ids;
      for (const std::uintptr_t address : destroyed) ids.insert(address / 16);
      EXPECT_EQ(ids, c.destroyed) << c.name;
      EXPECT_EQ(destroyed.size(), c.destroyed.size()) << c.name << ": destroyed twice";
      EXPECT_EQ(offers.Count(), c.kept) << c.name;
      destroyed.clear();
    }
    EXPECT_EQ(destroyed.size(), c.kept) << c.name << ": the rest go with the set";
  }
}

}  // namespace
}  // namespace ostrel
