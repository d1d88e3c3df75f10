#include "platform/wayland/wl_screen_copy.h"

#include <wayland-client.h>

#include <memory>
#include <optional>
#include <vector>

#include "platform/platform_error.h"
#include "platform/wayland/capture_placement.h"
#include "platform/wayland/wl_connection.h"
#include "platform/wayland/wl_shm_memory.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace ostrel {
namespace {

// One output's copy in progress.
struct CaptureJob {
  const CaptureTarget* target = nullptr;
  const CaptureFrame* frame = nullptr;
  wl_shm* shm = nullptr;
  zwlr_screencopy_frame_v1* copy = nullptr;
  // The shared-memory buffer the compositor offered (the first one).
  bool offered = false;
  std::uint32_t format = 0;
  int width = 0;
  int height = 0;
  int stride = 0;
  // Where the copy goes: the frame itself, or memory of its own.
  bool direct = false;
  std::unique_ptr<ShmMemory> own_memory;
  wl_buffer* buffer = nullptr;
  CaptureLayout layout;
  bool finished = false;
  std::string failure;

  void Fail(std::string why) {
    failure = std::move(why);
    finished = true;
  }

  // Called once the compositor has said which buffer it wants, from a
  // listener: nothing may be thrown through libwayland, so a failure to make
  // the buffer fails this copy.
  void StartCopy() {
    try {
      MakeBufferAndCopy();
    } catch (const std::exception& error) {
      Fail(error.what());
    }
  }

  void MakeBufferAndCopy() {
    if (buffer != nullptr || finished) return;
    if (!offered) return Fail("no shared-memory buffer offered");
    const std::optional<bool> swap = SwapsRedBlue(format);
    if (!swap) return Fail("pixel format " + std::to_string(format) + " not handled");
    if (width <= 0 || height <= 0 || stride < width * 4 || stride % 4 != 0) {
      return Fail("unusable buffer size");
    }
    layout.swap_red_blue = *swap;
    layout.transform = target->transform;
    const Image& pixels = *frame->pixels;
    const Rect& place = target->place;
    direct = target->transform == 0 && width == place.width && height == place.height &&
             stride == pixels.Stride() * 4;
    if (direct) {
      const std::size_t offset =
          frame->byte_offset +
          (static_cast<std::size_t>(place.y) * static_cast<std::size_t>(pixels.Stride()) +
           static_cast<std::size_t>(place.x)) * 4;
      buffer = frame->memory->CreateBuffer(offset, width, height, stride, format);
    } else {
      own_memory = std::make_unique<ShmMemory>(
          shm, static_cast<std::size_t>(stride) * static_cast<std::size_t>(height));
      buffer = own_memory->CreateBuffer(0, width, height, stride, format);
      own_memory->ReleasePool(true);
    }
    zwlr_screencopy_frame_v1_copy(copy, buffer);
  }

  // The copy is there: bring it into the frame.
  void Place() {
    Image& pixels = *frame->pixels;
    const Rect& place = target->place;
    if (direct) {
      Image part(pixels.Row(place.y) + place.x, place.width, place.height, pixels.Stride(),
                 nullptr);
      NormaliseInPlace(part, layout);
    } else {
      const Image capture(own_memory->Pixels(0), width, height, stride / 4, nullptr);
      PlaceCapture(capture, layout, pixels, place);
    }
  }
};

void OnBuffer(void* data, zwlr_screencopy_frame_v1*, std::uint32_t format, std::uint32_t width,
              std::uint32_t height, std::uint32_t stride) {
  auto* job = static_cast<CaptureJob*>(data);
  if (job->offered) return;
  job->offered = true;
  job->format = format;
  job->width = static_cast<int>(std::min<std::uint32_t>(width, 1U << 16));
  job->height = static_cast<int>(std::min<std::uint32_t>(height, 1U << 16));
  job->stride = static_cast<int>(std::min<std::uint32_t>(stride, 1U << 20));
  // Before version 3 this one event is all there is: copy now.
  if (zwlr_screencopy_frame_v1_get_version(job->copy) < 3) job->StartCopy();
}

void OnFlags(void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) {
  static_cast<CaptureJob*>(data)->layout.y_invert =
      (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
}

void OnReady(void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {
  auto* job = static_cast<CaptureJob*>(data);
  job->Place();
  job->finished = true;
}

void OnFailed(void* data, zwlr_screencopy_frame_v1*) {
  static_cast<CaptureJob*>(data)->Fail("the compositor could not copy it");
}

void OnDamage(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t,
              std::uint32_t) {}
void OnDmabuf(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {}

void OnBufferDone(void* data, zwlr_screencopy_frame_v1*) {
  static_cast<CaptureJob*>(data)->StartCopy();
}

constexpr zwlr_screencopy_frame_v1_listener kCopyListener = {
    OnBuffer, OnFlags, OnReady, OnFailed, OnDamage, OnDmabuf, OnBufferDone};

}  // namespace

std::string CaptureOutputs(wl_display* display, zwlr_screencopy_manager_v1* manager, wl_shm* shm,
                           const CaptureFrame& frame, std::span<const CaptureTarget> targets,
                           int timeout_ms) {
  std::vector<CaptureJob> jobs(targets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) {
    CaptureJob& job = jobs[i];
    job.target = &targets[i];
    job.frame = &frame;
    job.shm = shm;
    // Without the cursor: the frozen picture must not show a second one.
    job.copy = zwlr_screencopy_manager_v1_capture_output(manager, 0, targets[i].output);
    zwlr_screencopy_frame_v1_add_listener(job.copy, &kCopyListener, &job);
  }
  const auto all_finished = [&jobs] {
    for (const CaptureJob& job : jobs) {
      if (!job.finished) return false;
    }
    return true;
  };
  std::string failures;
  try {
    DispatchUntil(display, all_finished, MonotonicNs() + std::int64_t{timeout_ms} * 1'000'000);
  } catch (...) {
    for (CaptureJob& job : jobs) {
      zwlr_screencopy_frame_v1_destroy(job.copy);
      if (job.buffer != nullptr) wl_buffer_destroy(job.buffer);
    }
    throw;
  }
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    CaptureJob& job = jobs[i];
    if (!job.finished) job.Fail("no answer in time");
    zwlr_screencopy_frame_v1_destroy(job.copy);
    if (job.buffer != nullptr) wl_buffer_destroy(job.buffer);
    if (!job.failure.empty()) {
      if (!failures.empty()) failures += "; ";
      failures += "output " + std::to_string(i + 1) + ": " + job.failure;
    }
  }
  return failures;
}

}  // namespace ostrel
