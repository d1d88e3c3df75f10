#include "platform/wayland/screen_copy/screen_cast_buffer.h"

#include <spa/buffer/buffer.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ostrel {
namespace {

ScreenCastRead Failed(std::string why) {
  return {.outcome = ScreenCastRead::Outcome::kFailed, .failure = std::move(why)};
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
  const std::uint8_t* memory = nullptr;
  void* mapping = MAP_FAILED;
  std::size_t mapped = 0;
  if (data.type == SPA_DATA_MemPtr && data.data != nullptr) {
    memory = static_cast<const std::uint8_t*>(data.data);
  } else if (data.type == SPA_DATA_MemFd) {
    // Only this buffer, only while it is read.
    mapped = std::size_t{data.mapoffset} + data.maxsize;
    mapping = mmap(nullptr, mapped, PROT_READ, MAP_SHARED, static_cast<int>(data.fd), 0);
    if (mapping == MAP_FAILED) return Failed(std::string("cannot map a frame: ") + std::strerror(errno));
    memory = static_cast<const std::uint8_t*>(mapping) + data.mapoffset;
  } else {
    return Failed("its frames are in memory the program cannot read");
  }
  // Row by row, each without its padding: the last row may end before a
  // whole stride does.
  RawRows rows;
  bool copied = false;
  if (rows.Begin(format.order, format.width, format.height, static_cast<std::uint32_t>(row),
                 frame, place)) {
    const std::uint8_t* first = memory + chunk->offset;
    for (std::uint32_t y = 0; y < format.height; ++y) rows.Add(first + y * stride, row);
    rows.Finish();
    copied = rows.Complete();
  }
  if (mapping != MAP_FAILED) munmap(mapping, mapped);
  if (!copied) return Failed("a frame that could not be read");
  return {.outcome = ScreenCastRead::Outcome::kCopied, .failure = {}};
}

}  // namespace ostrel
