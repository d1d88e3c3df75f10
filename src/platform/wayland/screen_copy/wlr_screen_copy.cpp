#include "platform/wayland/screen_copy/wlr_screen_copy.h"

#include <wayland-client.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "platform/platform_error.h"
#include "platform/wayland/screen_copy/placement.h"
#include "platform/wayland/wl_shm_memory.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace ostrel {
namespace {

// One output's copy in progress.
struct OutputCopy {
  const ScreenCopyTarget* target = nullptr;
  const ScreenCopyDestination* frame = nullptr;
  wl_shm* shm = nullptr;
  zwlr_screencopy_frame_v1* request = nullptr;
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
  ScreenCopyLayout layout;
  bool finished = false;
  std::string failure;

  void Fail(std::string why) {
    failure = std::move(why);
    finished = true;
  }

  void OnBuffer(std::uint32_t shm_format, std::uint32_t w, std::uint32_t h, std::uint32_t s) {
    if (offered) return;
    offered = true;
    format = shm_format;
    width = static_cast<int>(std::min<std::uint32_t>(w, 1U << 16));
    height = static_cast<int>(std::min<std::uint32_t>(h, 1U << 16));
    stride = static_cast<int>(std::min<std::uint32_t>(s, 1U << 20));
    // Before version 3 this one event is all there is: copy now.
    if (zwlr_screencopy_frame_v1_get_version(request) < 3) StartCopy();
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
           static_cast<std::size_t>(place.x)) *
              4;
      buffer = frame->memory->CreateBuffer(offset, width, height, stride, format);
    } else {
      own_memory = std::make_unique<ShmMemory>(
          shm, static_cast<std::size_t>(stride) * static_cast<std::size_t>(height));
      buffer = own_memory->CreateBuffer(0, width, height, stride, format);
      own_memory->FreePool(FreeMode::kWithRequests);
    }
    zwlr_screencopy_frame_v1_copy(request, buffer);
  }

  // The copy is there: bring it into the frame.
  void OnReady() {
    Image& pixels = *frame->pixels;
    const Rect& place = target->place;
    if (direct) {
      Image part(pixels.Row(place.y) + place.x, place.width, place.height, pixels.Stride(),
                 nullptr);
      NormaliseInPlace(part, layout);
    } else {
      const Image copy(own_memory->Pixels(0), width, height, stride / 4, nullptr);
      PlaceScreenCopy(copy, layout, pixels, place);
    }
    finished = true;
  }

  void Free() {
    FreeProxy(request, &zwlr_screencopy_frame_v1_destroy, FreeMode::kWithRequests);
    FreeProxy(buffer, &wl_buffer_destroy, FreeMode::kWithRequests);
  }
};

struct OutputCopyListeners {
  static OutputCopy& Of(void* data) { return *static_cast<OutputCopy*>(data); }

  static constexpr zwlr_screencopy_frame_v1_listener kFrame = {
      .buffer = [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t format,
                   std::uint32_t width, std::uint32_t height,
                   std::uint32_t stride) { Of(data).OnBuffer(format, width, height, stride); },
      .flags =
          [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) {
            Of(data).layout.y_invert = (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
          },
      .ready = [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                  std::uint32_t) { Of(data).OnReady(); },
      .failed = [](void* data,
                   zwlr_screencopy_frame_v1*) { Of(data).Fail("the compositor could not copy it"); },
      .damage = [](void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t,
                   std::uint32_t) {},
      .linux_dmabuf = [](void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                         std::uint32_t) {},
      .buffer_done = [](void* data, zwlr_screencopy_frame_v1*) { Of(data).StartCopy(); },
  };
};

class WlrScreenCopier final : public ScreenCopier {
 public:
  WlrScreenCopier(Waiter& waiter, zwlr_screencopy_manager_v1* manager, wl_shm* shm)
      : waiter_(waiter), manager_(manager), shm_(shm) {}

  std::string_view Name() const override { return "the compositor's screen copy"; }

  ScreenCopyOutcome Copy(const ScreenCopyDestination& frame,
                         std::span<const ScreenCopyTarget> targets,
                         TimePoint deadline) override {
    std::vector<OutputCopy> copies(targets.size());
    for (std::size_t i = 0; i < targets.size(); ++i) {
      OutputCopy& copy = copies[i];
      copy.target = &targets[i];
      copy.frame = &frame;
      copy.shm = shm_;
      // Without the cursor: the frozen picture must not show a second one.
      copy.request = zwlr_screencopy_manager_v1_capture_output(manager_, 0, targets[i].output);
      zwlr_screencopy_frame_v1_add_listener(copy.request, &OutputCopyListeners::kFrame, &copy);
    }
    Waiter::End end = Waiter::End::kDeadline;
    try {
      end = waiter_.WaitUntil(
          [&copies] {
            return std::all_of(copies.begin(), copies.end(),
                               [](const OutputCopy& copy) { return copy.finished; });
          },
          deadline);
    } catch (...) {
      for (OutputCopy& copy : copies) copy.Free();
      throw;
    }
    std::vector<ScreenCopyOutcome::FailedOutput> failed;
    for (std::size_t i = 0; i < copies.size(); ++i) {
      OutputCopy& copy = copies[i];
      if (!copy.finished) copy.Fail("no answer in time");
      copy.Free();
      if (!copy.failure.empty()) failed.push_back({i, copy.failure});
    }
    if (end == Waiter::End::kInterrupted) return ScreenCopyOutcome::Interrupted();
    return ScreenCopyOutcome::OfOutputs(std::move(failed), targets.size());
  }

 private:
  Waiter& waiter_;
  zwlr_screencopy_manager_v1* manager_;
  wl_shm* shm_;
};

}  // namespace

std::unique_ptr<ScreenCopier> MakeWlrScreenCopier(Waiter& waiter,
                                                  zwlr_screencopy_manager_v1* manager,
                                                  wl_shm* shm) {
  return std::make_unique<WlrScreenCopier>(waiter, manager, shm);
}

}  // namespace ostrel
