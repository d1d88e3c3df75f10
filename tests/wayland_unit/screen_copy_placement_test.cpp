// Screen copies put into the frame: pixel order, rows bottom up, scaling up
// from a lower output scale, and clipping.

#include <gtest/gtest.h>

#include <vector>

#include "platform/wayland/screen_copy/placement.h"

namespace ostrel {
namespace {

constexpr std::uint32_t kUnset = 0xEEEEEEEE;

// A 2 x 2 copy: 0x00RRGGBB pixels A B / C D.
constexpr std::uint32_t A = 0x00112233, B = 0x00445566, C = 0x00778899, D = 0x00AABBCC;

Image Copy2x2() {
  Image copy(2, 2);
  copy.At(0, 0) = A;
  copy.At(1, 0) = B;
  copy.At(0, 1) = C;
  copy.At(1, 1) = D;
  return copy;
}

std::vector<std::uint32_t> Rows(const Image& image) {
  std::vector<std::uint32_t> pixels;
  for (int y = 0; y < image.Height(); ++y) {
    for (int x = 0; x < image.Width(); ++x) pixels.push_back(image.At(x, y));
  }
  return pixels;
}

TEST(ScreenCopyPlacement, PutsEachCaptureAtItsPlaceInTheFrameOrder) {
  constexpr std::uint32_t U = kUnset;
  constexpr std::uint32_t A_ = 0x00332211, B_ = 0x00665544, C_ = 0x00998877, D_ = 0x00CCBBAA;
  struct Case {
    const char* name;
    ScreenCopyLayout layout;
    Rect place;
    std::vector<std::uint32_t> frame;  // 4 x 3
  };
  const std::vector<Case> cases = {
      {"as it is", {false, false}, {1, 1, 2, 2}, {U, U, U, U, U, A, B, U, U, C, D, U}},
      {"rows bottom up", {false, true}, {0, 0, 2, 2}, {C, D, U, U, A, B, U, U, U, U, U, U}},
      {"red and blue swapped",
       {true, false},
       {2, 0, 2, 2},
       {U, U, A_, B_, U, U, C_, D_, U, U, U, U}},
      {"both", {true, true}, {0, 1, 2, 2}, {U, U, U, U, C_, D_, U, U, A_, B_, U, U}},
      {"scale 1 into a scale-2 frame: every pixel twice across and down (the last row cut)",
       {false, false},
       {0, 0, 4, 4},
       {A, A, B, B, A, A, B, B, C, C, D, D}},
      {"a smaller place (a copy larger than its output): every other pixel",
       {false, false},
       {3, 2, 1, 1},
       {U, U, U, U, U, U, U, U, U, U, U, A}},
      {"a wide place: stretched across only",
       {false, false},
       {0, 0, 4, 2},
       {A, A, B, B, C, C, D, D, U, U, U, U}},
      {"a place partly outside the frame",
       {false, false},
       {-1, 2, 2, 2},
       {U, U, U, U, U, U, U, U, B, U, U, U}},
      {"scale 2 into scale 3, or a fractional scale: the nearest pixels",
       {false, false},
       {0, 0, 3, 3},
       {A, A, B, U, A, A, B, U, C, C, D, U}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Image frame(4, 3);
    frame.Fill(kUnset);
    PlaceScreenCopy(Copy2x2(), c.layout, frame, c.place);
    EXPECT_EQ(Rows(frame), c.frame);
  }
}

TEST(ScreenCopyPlacement, ARotatedOrMirroredOutputsCopyIsTurnedToTheLayout) {
  // The 2 x 2 copy A B / C D into a 2 x 2 place, for each wl_output.transform,
  // as sway 1.7 turns its outputs (checked against its own screenshots).
  struct Case {
    int transform;
    bool y_invert;
    std::vector<std::uint32_t> place;
  };
  const Case cases[] = {
      {0, false, {A, B, C, D}}, {1, false, {C, A, D, B}},  // 90
      {2, false, {D, C, B, A}},                            // 180
      {3, false, {B, D, A, C}},                            // 270
      {4, false, {B, A, D, C}},                            // flipped
      {5, false, {A, C, B, D}},                            // flipped 90
      {6, false, {C, D, A, B}},                            // flipped 180
      {7, false, {D, B, C, A}},                            // flipped 270
      {1, true, {A, C, B, D}},                             // 90, rows bottom up
  };
  for (const Case& c : cases) {
    Image frame(2, 2);
    PlaceScreenCopy(Copy2x2(), {false, c.y_invert, c.transform}, frame, {0, 0, 2, 2});
    EXPECT_EQ(Rows(frame), c.place) << c.transform << " " << c.y_invert;
  }
  // A quarter turn swaps the sides: a 2 x 1 copy, turned, is 1 x 2, and
  // fills a 2 x 4 place with each pixel twice across and down.
  Image wide(2, 1);
  wide.At(0, 0) = A;
  wide.At(1, 0) = B;
  Image frame(2, 4);
  PlaceScreenCopy(wide, {false, false, 1}, frame, {0, 0, 2, 4});
  EXPECT_EQ(Rows(frame), (std::vector<std::uint32_t>{A, A, A, A, B, B, B, B}));
}

TEST(ScreenCopyPlacement, ACaptureInTheFrameItselfIsTurnedInPlace) {
  for (const int height : {1, 2, 3}) {
    Image picture(2, height);
    for (int y = 0; y < height; ++y) {
      picture.At(0, y) = static_cast<std::uint32_t>(y) << 16;
      picture.At(1, y) = 0x000000FFU;
    }
    NormaliseInPlace(picture, {true, true});
    for (int y = 0; y < height; ++y) {
      EXPECT_EQ(picture.At(0, y), static_cast<std::uint32_t>(height - 1 - y)) << height;
      EXPECT_EQ(picture.At(1, y), 0x00FF0000U) << height;
    }
  }
}

TEST(ScreenCopyPlacement, TakesOnlyThirtyTwoBitFormatsItKnows) {
  EXPECT_EQ(SwapsRedBlue(0), false);                  // ARGB8888
  EXPECT_EQ(SwapsRedBlue(1), false);                  // XRGB8888
  EXPECT_EQ(SwapsRedBlue(0x34324241), true);          // ABGR8888
  EXPECT_EQ(SwapsRedBlue(0x34324258), true);          // XBGR8888
  EXPECT_EQ(SwapsRedBlue(0x36314752), std::nullopt);  // RGB565
  EXPECT_EQ(SwapsRedBlue(0x30335258), std::nullopt);  // XRGB2101010
}

}  // namespace
}  // namespace ostrel
