// The software drawing surface: the ring it draws, the XOR pen, colours, and the
// rectangles it reports as changed.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <tuple>

#include "platform/fake/fake_platform.h"
#include "platform/software_surface.h"

namespace ostrel {
namespace {

constexpr double kTwipsPerPixel = 15.0;

SoftwareSurface BlackSurface(int width, int height) {
  return SoftwareSurface(Image(width, height), kTwipsPerPixel);
}

SoftwareSurface DesktopSurface(int width, int height) {
  return SoftwareSurface(MakeTestDesktop(width, height), kTwipsPerPixel);
}

TEST(SoftwareSurface, AnyCircleDrawnTwiceRestoresTheFrameBitForBit) {
  SoftwareSurface surface = DesktopSurface(97, 61);  // odd sizes on purpose
  const Image before = surface.Frame().Clone();
  std::mt19937 random(12345);
  std::uniform_real_distribution<float> x(-1500.0F, 97 * 15 + 1500.0F);
  std::uniform_real_distribution<float> y(-1500.0F, 61 * 15 + 1500.0F);
  std::uniform_real_distribution<float> radius(0.0F, 2000.0F);
  std::uniform_int_distribution<ColourValue> colour(0, 0xFFFFFF);
  std::uniform_int_distribution<int> pen(1, 6);
  surface.SetDrawModeXorPen();
  for (int i = 0; i < 2000; ++i) {
    surface.SetPenWidth(pen(random));
    const float cx = x(random);
    const float cy = y(random);
    const float r = radius(random);
    const ColourValue c = colour(random);
    surface.Circle(cx, cy, r, c);
    surface.Circle(cx, cy, r, c);
    ASSERT_TRUE(SamePixels(surface.Frame(), before))
        << "circle at " << cx << "," << cy << " radius " << r << " colour " << c;
  }
}

TEST(SoftwareSurface, OverlappingCirclesEraseInAnyOrder) {
  SoftwareSurface surface = DesktopSurface(120, 90);
  const Image before = surface.Frame().Clone();
  surface.SetDrawModeXorPen();
  surface.SetPenWidth(3);
  surface.Circle(600, 600, 400, 255);
  surface.Circle(700, 650, 380, 65535);
  surface.Circle(650, 620, 420, 16711680);
  surface.Circle(700, 650, 380, 65535);
  surface.Circle(650, 620, 420, 16711680);
  surface.Circle(600, 600, 400, 255);
  EXPECT_TRUE(SamePixels(surface.Frame(), before));
}

TEST(SoftwareSurface, DrawingGoesOnInACopyTheFrameMovedTo) {
  // Both copies are the test's memory; the surface views them.
  Image first = MakeTestDesktop(60, 40);
  const Image desktop = first.Clone();
  const auto view = [](Image& image) {
    return Image(image.Row(0), image.Width(), image.Height(), image.Stride(), nullptr);
  };
  SoftwareSurface surface(view(first), kTwipsPerPixel);
  surface.SetDrawModeXorPen();
  surface.SetPenWidth(3);
  surface.Circle(300, 300, 200, 255);
  surface.Circle(450, 250, 150, 65535);
  // The second copy brought up to date: the circles shown on it are still
  // known, so drawing them again there erases them there, and only there.
  Image second = first.Clone();
  const Image with_circles = first.Clone();
  surface.MoveFrame(view(second));
  EXPECT_EQ(surface.ShownCircles(), 2U);
  surface.Circle(300, 300, 200, 255);
  surface.Circle(450, 250, 150, 65535);
  EXPECT_TRUE(SamePixels(second, desktop));
  EXPECT_TRUE(SamePixels(first, with_circles)) << "the copy left is not drawn on";
  EXPECT_THROW(surface.MoveFrame(Image(60, 41)), std::invalid_argument);
  EXPECT_EQ(surface.Frame().Row(0), second.Row(0)) << "a copy of another size is refused";
}

TEST(SoftwareSurface, RingIsAsWideAsThePenAroundTheCentrePixel) {
  for (const int pen : {1, 3, 4}) {
    SoftwareSurface surface = BlackSurface(80, 80);
    surface.SetDrawModeXorPen();
    surface.SetPenWidth(pen);
    // Centre (40.3, 39.6) px falls in pixel (40, 39); radius 20.25 px.
    const double r = 20.25;
    surface.Circle(static_cast<float>(40.3 * kTwipsPerPixel),
                   static_cast<float>(39.6 * kTwipsPerPixel),
                   static_cast<float>(r * kTwipsPerPixel), 0xFFFFFF);
    const double inner = r - pen / 2.0;
    const double outer = r + pen / 2.0;
    for (int y = 0; y < 80; ++y) {
      for (int x = 0; x < 80; ++x) {
        const double d_sq = (x - 40.0) * (x - 40.0) + (y - 39.0) * (y - 39.0);
        const bool in_ring = d_sq >= inner * inner && d_sq < outer * outer;
        EXPECT_EQ(surface.Frame().At(x, y), in_ring ? 0xFFFFFFU : 0U)
            << "pen " << pen << " pixel " << x << "," << y << " distance " << std::sqrt(d_sq);
      }
    }
  }
}

TEST(SoftwareSurface, RingIsSymmetricAboutItsCentrePixel) {
  SoftwareSurface surface = BlackSurface(101, 101);
  surface.SetDrawModeXorPen();
  surface.SetPenWidth(3);
  surface.Circle(50.7F * 15, 50.2F * 15, 650.0F, 0xFFFFFF);  // centre pixel (50, 50)
  for (int y = 0; y < 101; ++y) {
    for (int x = 0; x < 101; ++x) {
      const std::uint32_t p = surface.Frame().At(x, y);
      ASSERT_EQ(p, surface.Frame().At(100 - x, y)) << x << "," << y;
      ASSERT_EQ(p, surface.Frame().At(x, 100 - y)) << x << "," << y;
      ASSERT_EQ(p, surface.Frame().At(y, x)) << x << "," << y;
    }
  }
}

TEST(SoftwareSurface, ThreePixelPenCrossesEachAxisThreePixelsWide) {
  SoftwareSurface surface = BlackSurface(100, 100);
  surface.SetDrawModeXorPen();
  surface.SetPenWidth(3);
  // Centre on a pixel centre (50.5, 50.5) px, radius 30 px = 450 twips.
  surface.Circle(757.5F, 757.5F, 450.0F, 0xFFFFFF);
  int across = 0;
  for (int x = 0; x < 100; ++x) across += surface.Frame().At(x, 50) != 0 ? 1 : 0;
  EXPECT_EQ(across, 6);  // three on each side
  EXPECT_NE(surface.Frame().At(50 + 30, 50), 0U);
  EXPECT_NE(surface.Frame().At(50 + 31, 50), 0U);
  EXPECT_NE(surface.Frame().At(50 + 29, 50), 0U);
  EXPECT_EQ(surface.Frame().At(50 + 28, 50), 0U);
  EXPECT_EQ(surface.Frame().At(50 + 32, 50), 0U);
}

TEST(SoftwareSurface, ClippedRingIsTheWholeRingCropped) {
  // The same circles on a frame and on a larger one holding it at (20, 20):
  // whatever lies on the small frame must match pixel for pixel.
  SoftwareSurface small = BlackSurface(50, 40);
  SoftwareSurface large = BlackSurface(90, 80);
  for (SoftwareSurface* surface : {&small, &large}) {
    surface->SetDrawModeXorPen();
    surface->SetPenWidth(3);
  }
  const float shift = 20 * 15;
  for (const auto& [x, y, r] :
       {std::tuple{10.0F, 10.0F, 300.0F}, std::tuple{740.0F, 590.0F, 400.0F},
        std::tuple{-100.0F, 300.0F, 250.0F}, std::tuple{375.0F, -150.0F, 600.0F},
        std::tuple{375.0F, 300.0F, 650.0F}}) {
    small.Circle(x, y, r, 0x00FFFF);
    large.Circle(x + shift, y + shift, r, 0x00FFFF);
  }
  for (int y = 0; y < 40; ++y) {
    for (int x = 0; x < 50; ++x) {
      ASSERT_EQ(small.Frame().At(x, y), large.Frame().At(x + 20, y + 20)) << x << "," << y;
    }
  }
}

TEST(SoftwareSurface, ColourValuesConvertToTheFramesPixelFormat) {
  struct Case {
    ColourValue colour;
    std::uint32_t rgb_pixel;  // 0x00RRGGBB
    std::uint32_t bgr_pixel;  // 0x00BBGGRR
  };
  for (const Case& c : {Case{255, 0xFF0000, 0x0000FF}, Case{65535, 0xFFFF00, 0x00FFFF},
                        Case{16711680, 0x0000FF, 0xFF0000}, Case{16777215, 0xFFFFFF, 0xFFFFFF},
                        Case{0x123456, 0x563412, 0x123456}}) {
    SoftwareSurface rgb = BlackSurface(40, 40);
    SoftwareSurface bgr(Image(40, 40), kTwipsPerPixel, PixelFormat{0, 8, 16});
    for (SoftwareSurface* surface : {&rgb, &bgr}) {
      surface->SetDrawModeXorPen();
      surface->SetPenWidth(3);
      surface->Circle(300, 300, 150, c.colour);  // a ring through (30, 20) px
    }
    EXPECT_EQ(rgb.Frame().At(30, 20), c.rgb_pixel) << c.colour;
    EXPECT_EQ(bgr.Frame().At(30, 20), c.bgr_pixel) << c.colour;
  }
  // XOR, not copy: red over a pixel that is already red gives black.
  SoftwareSurface surface = BlackSurface(40, 40);
  surface.Frame().Fill(0xFF0000);
  surface.SetDrawModeXorPen();
  surface.SetPenWidth(3);
  surface.Circle(300, 300, 150, 255);
  EXPECT_EQ(surface.Frame().At(30, 20), 0U);
  EXPECT_EQ(surface.Frame().At(20, 20), 0xFF0000U);
}

TEST(SoftwareSurface, CopyPenPaintsInsteadOfXoring) {
  SoftwareSurface surface = DesktopSurface(40, 40);
  surface.SetPenWidth(3);
  surface.Circle(300, 300, 150, 255);
  const Image once = surface.Frame().Clone();
  surface.Circle(300, 300, 150, 255);
  EXPECT_TRUE(SamePixels(surface.Frame(), once));
  EXPECT_EQ(surface.Frame().At(30, 20), 0xFF0000U);
}

TEST(SoftwareSurface, RadiusZeroDrawsNothing) {
  SoftwareSurface surface = DesktopSurface(40, 40);
  const Image before = surface.Frame().Clone();
  surface.SetDrawModeXorPen();
  surface.SetPenWidth(3);
  surface.Circle(0, 0, 0, 0xFFFFFF);
  surface.Circle(300, 300, 0, 0xFFFFFF);
  EXPECT_TRUE(SamePixels(surface.Frame(), before));
  EXPECT_TRUE(surface.DirtyRects().empty());
}

TEST(SoftwareSurface, DirtyRectsCoverEveryChangeAndStayOnTheFrame) {
  SoftwareSurface surface = DesktopSurface(64, 48);
  const Image before = surface.Frame().Clone();
  surface.SetDrawModeXorPen();
  surface.SetPenWidth(3);
  surface.Circle(100, 100, 400, 255);            // clipped at the top-left
  surface.Circle(64 * 15, 48 * 15, 300, 65535);  // clipped at the bottom-right
  surface.Circle(-5000, 300, 400, 255);          // wholly off the frame: no rect
  ASSERT_EQ(surface.DirtyRects().size(), 2U);
  int covered_changes = 0;
  for (const Rect& rect : surface.DirtyRects()) {
    EXPECT_GE(rect.x, 0);
    EXPECT_GE(rect.y, 0);
    EXPECT_GT(rect.width, 0);
    EXPECT_GT(rect.height, 0);
    EXPECT_LE(rect.x + rect.width, 64);
    EXPECT_LE(rect.y + rect.height, 48);
  }
  for (int y = 0; y < 48; ++y) {
    for (int x = 0; x < 64; ++x) {
      if (surface.Frame().At(x, y) == before.At(x, y)) continue;
      bool inside = false;
      for (const Rect& r : surface.DirtyRects()) {
        inside |= x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
      }
      EXPECT_TRUE(inside) << x << "," << y;
      ++covered_changes;
    }
  }
  EXPECT_GT(covered_changes, 0);
  surface.ClearDirtyRects();
  EXPECT_TRUE(surface.DirtyRects().empty());
}

TEST(SoftwareSurface, BackgroundIsCopiedUnscaledFromTheTopLeft) {
  SoftwareSurface surface = BlackSurface(30, 20);
  const Image small = MakeTestDesktop(20, 10);
  surface.SetBackground(small, 0x00ABCDEF);
  EXPECT_EQ(surface.Frame().At(0, 0), small.At(0, 0));
  EXPECT_EQ(surface.Frame().At(19, 9), small.At(19, 9));
  EXPECT_EQ(surface.Frame().At(20, 9), 0x00ABCDEFU);
  EXPECT_EQ(surface.Frame().At(5, 10), 0x00ABCDEFU);
  ASSERT_EQ(surface.DirtyRects().size(), 1U);
  EXPECT_EQ(surface.DirtyRects()[0], (Rect{0, 0, 30, 20}));

  const Image large = MakeTestDesktop(40, 40);
  surface.SetBackground(large);
  EXPECT_EQ(surface.Frame().At(29, 19), large.At(29, 19));
}

// The picture under the circles is recovered in place, whatever circles were
// drawn, erased, overlapped or clipped, and the frame is unchanged afterwards.
TEST(SoftwareSurface, WithBackgroundShowsThePictureUnderTheCirclesInPlace) {
  SoftwareSurface surface = DesktopSurface(97, 61);
  const Image background = surface.Frame().Clone();
  std::mt19937 random(777);
  std::uniform_real_distribution<float> x(-800.0F, 97 * 15 + 800.0F);
  std::uniform_real_distribution<float> y(-800.0F, 61 * 15 + 800.0F);
  std::uniform_real_distribution<float> radius(0.0F, 900.0F);
  std::uniform_int_distribution<ColourValue> colour(0, 0xFFFFFF);
  std::uniform_int_distribution<int> pen(1, 5);
  struct Drawn {
    float x, y, r;
    int pen;
    ColourValue c;
  };
  std::vector<Drawn> drawn;
  surface.SetDrawModeXorPen();
  for (int i = 0; i < 3000; ++i) {
    // Mostly new circles; now and then one drawn before is drawn again (erased),
    // and sometimes a circle is drawn three times (shown once).
    Drawn d{x(random), y(random), radius(random), pen(random), colour(random)};
    if (!drawn.empty() && random() % 3 == 0) d = drawn[random() % drawn.size()];
    const int times = random() % 10 == 0 ? 3 : 1;
    surface.SetPenWidth(d.pen);
    for (int t = 0; t < times; ++t) surface.Circle(d.x, d.y, d.r, d.c);
    drawn.push_back(d);
  }
  ASSERT_GT(surface.ShownCircles(), 100U);
  const Image drawn_frame = surface.Frame().Clone();
  surface.ClearDirtyRects();
  bool called = false;
  surface.WithBackground([&](const Image& picture) {
    called = true;
    EXPECT_EQ(&picture, &surface.Frame());
    EXPECT_TRUE(SamePixels(picture, background));
  });
  EXPECT_TRUE(called);
  EXPECT_TRUE(SamePixels(surface.Frame(), drawn_frame));
  EXPECT_TRUE(surface.DirtyRects().empty());

  // A use that fails (an encoder out of memory, say) still gets the circles
  // drawn back: the frame on the screen never loses them.
  EXPECT_THROW(surface.WithBackground([](const Image&) { throw std::runtime_error("use failed"); }),
               std::runtime_error);
  EXPECT_TRUE(SamePixels(surface.Frame(), drawn_frame));
  EXPECT_TRUE(surface.DirtyRects().empty());
}

// Circles erased in any order leave the count of shown circles exact, so the
// record of them stays as small as what is on the screen however long a run.
TEST(SoftwareSurface, ShownCirclesAreCountedExactlyWhateverTheEraseOrder) {
  SoftwareSurface surface = DesktopSurface(200, 150);
  surface.SetDrawModeXorPen();
  surface.SetPenWidth(3);
  std::mt19937 random(99);
  std::vector<std::tuple<float, float, float>> circles;
  for (int i = 0; i < 600; ++i) {
    circles.emplace_back(static_cast<float>(random() % 3000), static_cast<float>(random() % 2250),
                         static_cast<float>(150 + random() % 500));
  }
  for (const auto& [x, y, r] : circles) surface.Circle(x, y, r, 255);
  ASSERT_EQ(surface.ShownCircles(), circles.size());
  std::shuffle(circles.begin(), circles.end(), random);
  for (std::size_t i = 0; i < circles.size(); ++i) {
    const auto& [x, y, r] = circles[i];
    surface.Circle(x, y, r, 255);
    ASSERT_EQ(surface.ShownCircles(), circles.size() - i - 1);
  }
}

TEST(SoftwareSurface, SettingTheFramesOwnMemoryAsBackgroundForgetsTheCircles) {
  SoftwareSurface surface = DesktopSurface(40, 40);
  surface.SetDrawModeXorPen();
  surface.SetPenWidth(3);
  surface.Circle(300, 300, 150, 255);
  // The screen copied straight into the frame: the frame is the new background.
  const Image view(surface.Frame().Row(0), 40, 40, surface.Frame().Stride(), nullptr);
  surface.SetBackground(view);
  EXPECT_EQ(surface.ShownCircles(), 0U);
  const Image now = surface.Frame().Clone();
  surface.WithBackground([&](const Image& picture) { EXPECT_TRUE(SamePixels(picture, now)); });
}

TEST(SoftwareSurface, TwipsPerPixelFollowsTheScreen) {
  // At 144 DPI a pixel is 10 twips: a circle of 200 twips is 20 pixels wide.
  SoftwareSurface surface(Image(60, 60), 10.0);
  surface.SetDrawModeXorPen();
  surface.SetPenWidth(1);
  surface.Circle(305, 305, 200, 0xFFFFFF);  // centre (30.5, 30.5) px
  EXPECT_NE(surface.Frame().At(50, 30), 0U);
  EXPECT_EQ(surface.Frame().At(51, 30), 0U);
  EXPECT_EQ(surface.Frame().At(49, 30), 0U);
}

}  // namespace
}  // namespace ostrel
