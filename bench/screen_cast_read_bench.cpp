// The cost of taking one 1080p frame of GNOME's screen cast into the frame:
// reading mutter's buffer (a memory file) and converting its rows.
//
//   build/release/bench/ostrel_wayland_bench --benchmark_repetitions=10
//   --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>
#include <spa/buffer/buffer.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/image.h"
#include "platform/wayland/screen_copy/screen_cast_buffer.h"

namespace ostrel {
namespace {

constexpr std::uint32_t kWidth = 1920;
constexpr std::uint32_t kHeight = 1080;
constexpr std::uint32_t kStride = kWidth * 4;

// A memory file holding one frame, as mutter hands it over; its pages are
// there, as they are once mutter has written its frame.
class CastBuffer {
 public:
  explicit CastBuffer(ByteOrder order) : order_(order) {
    fd_ = memfd_create("ostrel-bench-frame", MFD_CLOEXEC);
    if (fd_ < 0 || ftruncate(fd_, kStride * kHeight) != 0) std::abort();
    void* memory = mmap(nullptr, kStride * kHeight, PROT_WRITE, MAP_SHARED, fd_, 0);
    if (memory == MAP_FAILED) std::abort();
    auto* bytes = static_cast<std::uint8_t*>(memory);
    for (std::size_t i = 0; i < std::size_t{kStride} * kHeight; ++i) {
      bytes[i] = static_cast<std::uint8_t>(i * 7);
    }
    munmap(memory, kStride * kHeight);
    chunk_ = {.offset = 0, .size = kStride * kHeight, .stride = kStride, .flags = 0};
    data_ = {.type = SPA_DATA_MemFd, .flags = 0, .fd = fd_, .mapoffset = 0,
             .maxsize = kStride * kHeight, .data = nullptr, .chunk = &chunk_};
    buffer_ = {.n_metas = 0, .n_datas = 1, .metas = nullptr, .datas = &data_};
  }
  ~CastBuffer() { close(fd_); }
  CastBuffer(const CastBuffer&) = delete;
  CastBuffer& operator=(const CastBuffer&) = delete;

  ScreenCastRead ReadInto(Image& frame) const {
    return ReadScreenCastBuffer(buffer_, {.width = kWidth, .height = kHeight, .order = order_},
                                frame, {0, 0, static_cast<int>(kWidth), static_cast<int>(kHeight)});
  }

 private:
  ByteOrder order_;
  int fd_ = -1;
  spa_chunk chunk_{};
  spa_data data_{};
  spa_buffer buffer_{};
};

// The frame as the program shows it: in a memory file shared with the
// compositor, its pages taken beforehand.
Image SharedFrame() {
  const int fd = memfd_create("ostrel-bench-target", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, kStride * kHeight) != 0) std::abort();
  void* memory = mmap(nullptr, kStride * kHeight, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (memory == MAP_FAILED) std::abort();
  std::memset(memory, 0, kStride * kHeight);
  std::shared_ptr<void> owner(memory, [](void* m) { munmap(m, kStride * kHeight); });
  return Image(static_cast<std::uint32_t*>(memory), static_cast<int>(kWidth),
               static_cast<int>(kHeight), kWidth, std::move(owner));
}

void ReadFrame(benchmark::State& bench, ByteOrder order) {
  const CastBuffer buffer(order);
  Image frame = SharedFrame();
  for (auto _ : bench) {
    if (buffer.ReadInto(frame).outcome != ScreenCastRead::Outcome::kCopied) {
      bench.SkipWithError("the frame was not read");
    }
    benchmark::DoNotOptimize(frame.Row(0));
  }
  bench.SetBytesProcessed(static_cast<std::int64_t>(bench.iterations()) * kStride * kHeight);
}

// mutter's own order on a little-endian machine.
void BM_ScreenCastReadBgrx(benchmark::State& bench) { ReadFrame(bench, ByteOrder::kBgrx); }
BENCHMARK(BM_ScreenCastReadBgrx)->Unit(benchmark::kMillisecond);

void BM_ScreenCastReadRgbx(benchmark::State& bench) { ReadFrame(bench, ByteOrder::kRgbx); }
BENCHMARK(BM_ScreenCastReadRgbx)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ostrel
