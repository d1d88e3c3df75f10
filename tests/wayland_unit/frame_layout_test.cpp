// The frame over the outputs: its size and scale, each output's place in it,
// and pointer positions in twips.

#include <gtest/gtest.h>

#include <vector>

#include "platform/platform_error.h"
#include "platform/wayland/frame_layout.h"

namespace ostrel {
namespace {

struct LayoutCase {
  const char* name;
  std::vector<OutputPlace> outputs;
  int origin_x, origin_y, scale, width, height;
  std::vector<Rect> pixel_rects;  // one per output, in order
};

TEST(FrameLayout, AnOutputsPlaceFromWhatTheCompositorReports) {
  struct Case {
    const char* name;
    OutputReport report;
    OutputPlace place;
  };
  // geometry x, y, transform, mode w, h, scale, has position, has size,
  // logical x, y, w, h
  const Case cases[] = {
      {"xdg_output's rectangle over wl_output's 0,0",
       {0, 0, 0, 3840, 2160, 2, true, true, 1920, 0, 1920, 1080},
       {1920, 0, 1920, 1080, 2}},
      {"no xdg_output: the mode divided by the scale",
       {100, 50, 0, 3840, 2160, 2, false, false, 0, 0, 0, 0},
       {100, 50, 1920, 1080, 2}},
      {"no xdg_output, turned by 90 degrees",
       {0, 0, 1, 1920, 1080, 1, false, false, 0, 0, 0, 0},
       {0, 0, 1080, 1920, 1}},
      {"no xdg_output, turned by 180 degrees",
       {0, 0, 2, 1920, 1080, 1, false, false, 0, 0, 0, 0},
       {0, 0, 1920, 1080, 1}},
      {"a position but no size yet",
       {5, 5, 0, 1280, 720, 1, true, false, -1280, 0, 0, 0},
       {-1280, 0, 1280, 720, 1}},
      {"laid out in pixels (mutter): the rectangle over the scale",
       {0, 0, 0, 1920, 1080, 2, true, true, 1920, 0, 1920, 1080},
       {960, 0, 960, 540, 2}},
      {"laid out in pixels, turned by 90 degrees: the turned rectangle",
       {0, 0, 1, 1920, 1080, 2, true, true, 0, 0, 1080, 1920},
       {0, 0, 540, 960, 2}},
      {"a scale below 1 counts as 1",
       {0, 0, 0, 800, 600, 0, false, false, 0, 0, 0, 0},
       {0, 0, 800, 600, 1}},
  };
  for (const Case& c : cases) {
    const OutputPlace place = PlaceOf(c.report);
    EXPECT_EQ(place.x, c.place.x) << c.name;
    EXPECT_EQ(place.y, c.place.y) << c.name;
    EXPECT_EQ(place.width, c.place.width) << c.name;
    EXPECT_EQ(place.height, c.place.height) << c.name;
    EXPECT_EQ(place.scale, c.place.scale) << c.name;
  }
  // Without xdg_output the size is the mode's: of the modes listed, the
  // current one, not the preferred one before it or another after it.
  OutputReport listed;
  listed.NoteMode(false, 3840, 2160);
  listed.NoteMode(true, 1920, 1080);
  listed.NoteMode(false, 1280, 720);
  EXPECT_EQ(PlaceOf(listed).width, 1920);
  EXPECT_EQ(PlaceOf(listed).height, 1080);
}

TEST(FrameLayout, CoversTheOutputsAtTheLargestScale) {
  const std::vector<LayoutCase> cases = {
      {"one output", {{0, 0, 1920, 1080, 1}}, 0, 0, 1, 1920, 1080, {{0, 0, 1920, 1080}}},
      {"side by side",
       {{0, 0, 1280, 720, 1}, {1280, 0, 1280, 720, 1}},
       0,
       0,
       1,
       2560,
       720,
       {{0, 0, 1280, 720}, {1280, 0, 1280, 720}}},
      {"one at scale 2 alone", {{0, 0, 960, 540, 2}}, 0, 0, 2, 1920, 1080, {{0, 0, 1920, 1080}}},
      {"scale 1 beside scale 2: the frame at 2, the first doubled",
       {{0, 0, 1280, 720, 1}, {1280, 0, 960, 540, 2}},
       0,
       0,
       2,
       4480,
       1440,
       {{0, 0, 2560, 1440}, {2560, 0, 1920, 1080}}},
      {"left of and above the origin",
       {{-1280, 0, 1280, 720, 1}, {0, -100, 1920, 1080, 1}},
       -1280,
       -100,
       1,
       3200,
       1080,
       {{0, 100, 1280, 720}, {1280, 0, 1920, 1080}}},
      {"an empty output takes no part",
       {{0, 0, 0, 0, 1}, {100, 50, 640, 480, 1}},
       100,
       50,
       1,
       640,
       480,
       {{-100, -50, 0, 0}, {0, 0, 640, 480}}},
      {"scale 3 beside scale 2",
       {{0, 0, 100, 100, 2}, {100, 0, 100, 100, 3}},
       0,
       0,
       3,
       600,
       300,
       {{0, 0, 300, 300}, {300, 0, 300, 300}}},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.name);
    const FrameLayout layout = LayoutOf(c.outputs);
    EXPECT_EQ(layout.origin_x, c.origin_x);
    EXPECT_EQ(layout.origin_y, c.origin_y);
    EXPECT_EQ(layout.scale, c.scale);
    EXPECT_EQ(layout.width, c.width);
    EXPECT_EQ(layout.height, c.height);
    for (std::size_t i = 0; i < c.outputs.size(); ++i) {
      EXPECT_EQ(layout.PixelRect(c.outputs[i]), c.pixel_rects[i]) << "output " << i;
    }
  }
}

TEST(FrameLayout, RefusesNoOutputAndFramesBeyondSharedMemory) {
  EXPECT_THROW(LayoutOf(std::vector<OutputPlace>{}), PlatformError);
  EXPECT_THROW(LayoutOf(std::vector<OutputPlace>{{0, 0, 0, 1080, 1}}), PlatformError);
  // Two 16384 x 16384 copies would need 2 GiB: more than a wl_shm pool holds.
  EXPECT_THROW(LayoutOf(std::vector<OutputPlace>{{0, 0, 8192, 8192, 2}}), PlatformError);
  EXPECT_NO_THROW(LayoutOf(std::vector<OutputPlace>{{0, 0, 7680, 4320, 1}}));
}

TEST(FrameLayout, PointerPositionsInTwipsKeepPhysicalSizes) {
  // A scale-1 output left of a scale-2 one: the frame is at scale 2, a frame
  // pixel is 7.5 twips, and a logical unit is 15 twips on either output.
  const std::vector<OutputPlace> outputs = {{0, 0, 1280, 720, 1}, {1280, 0, 960, 540, 2}};
  const FrameLayout layout = LayoutOf(outputs);
  EXPECT_DOUBLE_EQ(layout.TwipsPerPixel(), 7.5);
  struct Point {
    int output;
    double x, y;
    float twips_x, twips_y;
  };
  const Point points[] = {
      {0, 0.0, 0.0, 0.0F, 0.0F},           {0, 100.0, 200.0, 1500.0F, 3000.0F},
      {0, 100.5, 0.25, 1507.5F, 3.75F},  // fractions of a logical unit
      {1, 0.0, 0.0, 19200.0F, 0.0F},     // the second output starts at 1280
      {1, 10.0, 539.5, 19350.0F, 8092.5F},
  };
  for (const Point& p : points) {
    const OutputPlace& output = outputs[static_cast<std::size_t>(p.output)];
    EXPECT_EQ(layout.TwipsX(output, p.x), p.twips_x) << p.output << " " << p.x;
    EXPECT_EQ(layout.TwipsY(output, p.y), p.twips_y) << p.output << " " << p.y;
  }
  // A layout to the left of the origin counts from its own top-left corner.
  const std::vector<OutputPlace> left = {{-1280, -10, 1280, 720, 1}};
  EXPECT_EQ(LayoutOf(left).TwipsX(left[0], 1.0), 15.0F);
  EXPECT_EQ(LayoutOf(left).TwipsY(left[0], 1.0), 15.0F);
}

}  // namespace
}  // namespace ostrel
