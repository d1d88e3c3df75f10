// What the desktops' screenshot services hand back: KWin's raw pixels, the
// screen cast's buffers, the portal's request path and the file its answer
// names.

#include <spa/buffer/buffer.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/wayland/screen_copy/kwin_picture.h"
#include "platform/wayland/screen_copy/portal_uri.h"
#include "platform/wayland/screen_copy/screen_cast_buffer.h"

namespace ostrel {
namespace {

TEST(DesktopScreenshots, KWinsRawPixelsRowByRowIntoTheFrame) {
  // Two rows of two pixels (red, blue / green, white) with a stride of 12
  // bytes (4 unused), as 0xAARRGGBB words and as R, G, B, A bytes.
  const std::vector<std::uint8_t> bgra = {0, 0, 255, 255, 255, 0, 0, 255, 9, 9, 9, 9,
                                          0, 255, 0, 255, 255, 255, 255, 255, 9, 9, 9, 9};
  const std::vector<std::uint8_t> rgba = {255, 0, 0, 255, 0, 0, 255, 255, 9, 9, 9, 9,
                                          0, 255, 0, 255, 255, 255, 255, 255, 9, 9, 9, 9};
  const std::uint32_t kRed = 0xFF0000, kBlue = 0x0000FF, kGreen = 0x00FF00, kWhite = 0xFFFFFF;
  struct Case {
    std::uint32_t format;
    const std::vector<std::uint8_t>* data;
    bool read;
  };
  for (const Case& c : {Case{4, &bgra, true}, Case{6, &bgra, true}, Case{16, &rgba, true},
                        Case{18, &rgba, true}, Case{13, &bgra, false}, Case{0, &bgra, false}}) {
    // Fed in pieces that split rows, into its place of a larger frame.
    for (const std::size_t piece : {std::size_t{5}, std::size_t{12}, std::size_t{24}}) {
      Image frame(5, 4);
      RawRows rows;
      const std::optional<ByteOrder> order = ByteOrderOfQtFormat(c.format);
      ASSERT_EQ(order.has_value(), c.read) << c.format;
      if (!c.read) break;
      ASSERT_TRUE(rows.Begin(*order, 2, 2, 12, frame, {3, 1, 2, 2}));
      for (std::size_t at = 0; at < c.data->size(); at += piece) {
        EXPECT_FALSE(rows.Complete());
        rows.Add(c.data->data() + at, std::min(piece, c.data->size() - at));
      }
      ASSERT_TRUE(rows.Complete()) << c.format << " in pieces of " << piece;
      rows.Finish();
      EXPECT_EQ((std::vector<std::uint32_t>{frame.At(3, 1), frame.At(4, 1), frame.At(3, 2),
                                            frame.At(4, 2), frame.At(2, 1), frame.At(3, 3)}),
                (std::vector<std::uint32_t>{kRed, kBlue, kGreen, kWhite, 0, 0}))
          << c.format << " in pieces of " << piece;
    }
  }
  // A picture of another size than its place is scaled into it at the end.
  Image frame(4, 4);
  RawRows rows;
  ASSERT_TRUE(rows.Begin(ByteOrder::kBgrx, 2, 2, 12, frame, {0, 0, 4, 4}));
  rows.Add(bgra.data(), bgra.size());
  EXPECT_EQ(frame.At(3, 3), 0U) << "placed before it was complete";
  rows.Finish();
  EXPECT_EQ(frame.At(1, 1), kRed);
  EXPECT_EQ(frame.At(3, 3), kWhite);
  EXPECT_FALSE(rows.Begin(ByteOrder::kBgrx, 4, 1, 12, frame, {0, 0, 4, 1}))
      << "stride shorter than a row";
}

// How many of this process's mappings name `what`.
int Mappings(const std::string& what) {
  std::ifstream maps("/proc/self/maps");
  int count = 0;
  for (std::string line; std::getline(maps, line);) count += line.find(what) != std::string::npos;
  return count;
}

TEST(DesktopScreenshots, TheScreenCastsBuffersIntoTheFrame) {
  // Two rows of two pixels (red, blue / green, white) in B, G, R, x bytes,
  // 8 bytes into the memory, rows `stride` bytes apart, the last row unpadded.
  const auto memory_of = [](std::uint32_t stride) {
    std::vector<std::uint8_t> memory(8, 7);
    memory.insert(memory.end(), {0, 0, 255, 0, 255, 0, 0, 0});
    memory.resize(memory.size() + stride - 8, 9);
    memory.insert(memory.end(), {0, 255, 0, 0, 255, 255, 255, 0});
    return memory;
  };
  const std::uint32_t kRed = 0xFF0000, kBlue = 0x0000FF, kGreen = 0x00FF00, kWhite = 0xFFFFFF;
  using Outcome = ScreenCastRead::Outcome;
  struct Case {
    const char* what;
    std::uint32_t type;
    std::int32_t flags;
    std::uint32_t size;
    Outcome outcome;
    std::uint32_t short_by = 0;  // bytes the declared memory lacks
    std::size_t cut = 0;         // bytes missing from the memfd's end
    std::uint32_t stride = 12;
    std::uint32_t offset = 8;
  };
  for (const Case& c : {
           Case{"in plain memory", SPA_DATA_MemPtr, 0, 20, Outcome::kCopied},
           Case{"in a memfd", SPA_DATA_MemFd, 0, 20, Outcome::kCopied},
           // A 1080p row is 7680 bytes: a frame's rows fill many blocks of the read.
           Case{"in a memfd, its rows a block apart", SPA_DATA_MemFd, 0, 20, Outcome::kCopied, 0,
                0, 40000},
           // Its size given wrongly by its producer: no read past the file's end.
           Case{"in a memfd cut short", SPA_DATA_MemFd, 0, 20, Outcome::kFailed, 0, 1},
           Case{"marked corrupted", SPA_DATA_MemPtr, SPA_CHUNK_FLAG_CORRUPTED, 20,
                Outcome::kSkipped},
           Case{"empty (the cursor alone moved)", SPA_DATA_MemPtr, 0, 0, Outcome::kSkipped},
           Case{"shorter than its size", SPA_DATA_MemPtr, 0, 20, Outcome::kFailed, 1},
           // 4 bytes past the memory's 28.
           Case{"its offset past its memory", SPA_DATA_MemPtr, 0, 20, Outcome::kFailed, 0, 0, 12,
                32},
           Case{"in a DMA-BUF", SPA_DATA_DmaBuf, 0, 20, Outcome::kFailed},
       }) {
    const std::vector<std::uint8_t> memory = memory_of(c.stride);
    // A memfd's pixels lie past a map offset, as a producer's pool hands them.
    const std::uint32_t mapoffset = c.type == SPA_DATA_MemFd ? 16 : 0;
    const int fd = memfd_create("ostrel-cast-test", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, mapoffset), 0);
    ASSERT_EQ(pwrite(fd, memory.data(), memory.size() - c.cut, mapoffset),
              static_cast<ssize_t>(memory.size() - c.cut));
    spa_chunk chunk{.offset = c.offset, .size = c.size, .stride = static_cast<std::int32_t>(c.stride),
                    .flags = c.flags};
    spa_data data{.type = c.type, .flags = SPA_DATA_FLAG_READABLE, .fd = fd,
                  .mapoffset = mapoffset,
                  .maxsize = static_cast<std::uint32_t>(memory.size()) - c.short_by,
                  .data = c.type == SPA_DATA_MemPtr ? const_cast<std::uint8_t*>(memory.data())
                                                    : nullptr,
                  .chunk = &chunk};
    const spa_buffer buffer{.n_metas = 0, .n_datas = 1, .metas = nullptr, .datas = &data};
    const int mapped_before = Mappings("ostrel-cast-test");
    Image frame(5, 4);
    const ScreenCastRead read =
        ReadScreenCastBuffer(buffer, {.width = 2, .height = 2, .order = ByteOrder::kBgrx}, frame,
                             {3, 1, 2, 2});
    close(fd);
    EXPECT_EQ(read.outcome, c.outcome) << c.what << ": " << read.failure;
    EXPECT_EQ(read.failure.empty(), c.outcome != Outcome::kFailed) << c.what;
    EXPECT_EQ(Mappings("ostrel-cast-test"), mapped_before) << c.what << ": the buffer stays mapped";
    const std::vector<std::uint32_t> placed = {frame.At(3, 1), frame.At(4, 1), frame.At(3, 2),
                                               frame.At(4, 2), frame.At(2, 1), frame.At(3, 3)};
    const std::vector<std::uint32_t> expected =
        c.outcome == Outcome::kCopied ? std::vector<std::uint32_t>{kRed, kBlue, kGreen, kWhite, 0, 0}
                                      : std::vector<std::uint32_t>(6, 0);
    EXPECT_EQ(placed, expected) << c.what;
  }
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
           // GLib escapes in upper-case hex: a Spanish desktop's ~/Imágenes.
           Case{"file:///home/ana/Im%C3%A1genes/Captura%20de%20pantalla.png",
                "/home/ana/Im\xC3\xA1genes/Captura de pantalla.png"},
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
