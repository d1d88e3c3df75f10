// What the desktops' screenshot services hand back: KWin's raw pixels, the
// portal's request path and the file its answer names.

#include <gtest/gtest.h>

#include <vector>

#include "platform/wayland/desktop_screenshots.h"

namespace ostrel {
namespace {

TEST(DesktopScreenshots, KWinsRawPixelsInEachFormat) {
  // One row of two pixels, red then blue, and a stride of 12 bytes (4 unused).
  const std::vector<std::uint8_t> bgra = {0, 0, 255, 255, 255, 0, 0, 255, 9, 9, 9, 9};
  const std::vector<std::uint8_t> rgba = {255, 0, 0, 255, 0, 0, 255, 255, 9, 9, 9, 9};
  struct Case {
    std::uint32_t format;
    const std::vector<std::uint8_t>* data;
    bool read;
  };
  for (const Case& c : {Case{4, &bgra, true}, Case{6, &bgra, true}, Case{16, &rgba, true},
                        Case{18, &rgba, true}, Case{13, &bgra, false}, Case{0, &bgra, false}}) {
    const auto image = PixelsOfRawScreenshot(c.format, 2, 1, 12, c.data->data(), c.data->size());
    ASSERT_EQ(image.has_value(), c.read) << "format " << c.format;
    if (!image) continue;
    EXPECT_EQ(image->At(0, 0), 0xFF0000U) << "format " << c.format;
    EXPECT_EQ(image->At(1, 0), 0x0000FFU) << "format " << c.format;
  }
  EXPECT_FALSE(PixelsOfRawScreenshot(4, 2, 2, 12, bgra.data(), bgra.size())) << "too little data";
  EXPECT_FALSE(PixelsOfRawScreenshot(4, 4, 1, 12, bgra.data(), bgra.size())) << "stride too small";
}

TEST(DesktopScreenshots, ThePortalsRequestPathAndFile) {
  EXPECT_EQ(PortalRequestPath(":1.42", "ostrel7_1"),
            "/org/freedesktop/portal/desktop/request/1_42/ostrel7_1");
  struct Case {
    const char* uri;
    std::optional<std::string> path;
  };
  for (const Case& c : {
           Case{"file:///root/Pictures/Screenshot%20from%202026-12-09%2004-05-06.png",
                "/root/Pictures/Screenshot from 2026-12-09 04-05-06.png"},
           Case{"file://localhost/tmp/a.png", "/tmp/a.png"},
           Case{"file://elsewhere/tmp/a.png", std::nullopt},
           Case{"https://example.org/a.png", std::nullopt},
           Case{"file:///tmp/a%2", std::nullopt},
           Case{"file:///tmp/a%zz.png", std::nullopt},
           Case{"file:///tmp/a%00.png", std::nullopt},
       }) {
    EXPECT_EQ(FilePathOfUri(c.uri), c.path) << c.uri;
  }
}

}  // namespace
}  // namespace ostrel
