#include "platform/wayland/screen_copy/screen_cast_buffer.h"

#include <spa/buffer/buffer.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace ostrel {
namespace {

ScreenCastRead Failed(std::string why) {
  return {.outcome = ScreenCastRead::Outcome::kFailed, .failure = std::move(why)};
}

// A memory file's rows, read a block at a time through a small buffer
// rather than mapped: mapping the frame costs a page fault every 4 KB, most
// of the read's time, and its pages would count as the program's memory.
// Empty when every row came, else why not.
std::string ReadRows(int fd, off_t first, std::size_t stride, std::size_t row,
                     std::uint32_t height, RawRows& rows) {
  constexpr std::size_t kBlockBytes = 64 * 1024;  // stays in the cache
  const std::size_t per_block = std::max<std::size_t>(1, kBlockBytes / stride);
  std::vector<std::uint8_t> block(per_block * stride);
  for (std::uint32_t y = 0; y < height;) {
    const std::size_t count = std::min<std::size_t>(per_block, height - y);
    // The last row may end before a whole stride does.
    const std::size_t wanted = (count - 1) * stride + row;
    for (std::size_t got = 0; got < wanted;) {
      const ssize_t n = pread(fd, block.data() + got, wanted - got,
                              first + static_cast<off_t>(y * stride + got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return std::string("cannot read a frame: ") + std::strerror(errno);
      if (n == 0) return "a frame smaller than its size says";
      got += static_cast<std::size_t>(n);
    }
    for (std::size_t i = 0; i < count; ++i) rows.Add(block.data() + i * stride, row);
    y += static_cast<std::uint32_t>(count);
  }
  return {};
}

}  // namespace

ScreenCastRead ReadScreenCastBuffer(const spa_buffer& buffer, const ScreenCastFormat& format,
                                    Image& frame, Rect place) {
  if (buffer.n_datas < 1 || buffer.datas == nullptr) return {};
  const spa_data& data = buffer.datas[0];
  const spa_chunk* chunk = data.chunk;
  // A frame marked corrupted, or one without data (a cursor's move alone),
  // is not a picture of the screen: the next one is.
  if (chunk == nullptr || chunk->size == 0 ||
      (chunk->flags & static_cast<std::int32_t>(SPA_CHUNK_FLAG_CORRUPTED)) != 0) {
    return {};
  }
  if (format.width == 0 || format.height == 0) return Failed("a frame without a size");
  const std::size_t row = std::size_t{format.width} * 4;
  const std::size_t stride = chunk->stride > 0 ? static_cast<std::size_t>(chunk->stride) : row;
  const std::size_t needed = stride * (format.height - 1) + row;
  if (stride < row || chunk->offset > data.maxsize || data.maxsize - chunk->offset < needed) {
    return Failed("a frame smaller than its size says");
  }
  const bool in_memory = data.type == SPA_DATA_MemPtr && data.data != nullptr;
  if (!in_memory && data.type != SPA_DATA_MemFd) {
    return Failed("its frames are in memory the program cannot read");
  }
  RawRows rows;
  if (!rows.Begin(format.order, format.width, format.height, static_cast<std::uint32_t>(row),
                  frame, place)) {
    return Failed("a frame that could not be read");
  }
  if (in_memory) {
    const std::uint8_t* first = static_cast<const std::uint8_t*>(data.data) + chunk->offset;
    for (std::uint32_t y = 0; y < format.height; ++y) rows.Add(first + y * stride, row);
  } else {
    const std::string failure = ReadRows(static_cast<int>(data.fd),
                                         static_cast<off_t>(data.mapoffset) + chunk->offset, stride,
                                         row, format.height, rows);
    if (!failure.empty()) return Failed(failure);
  }
  rows.Finish();
  if (!rows.Complete()) return Failed("a frame that could not be read");
  return {.outcome = ScreenCastRead::Outcome::kCopied, .failure = {}};
}

}  // namespace ostrel
