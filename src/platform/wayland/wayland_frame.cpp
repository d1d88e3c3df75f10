// The frame on Wayland: its two copies in one shared memory, the screen
// copied into it, each output's buffers in both copies, the drawing moved
// between the copies, and what can be shown committed on the covers.

#include <wayland-client.h>

#include <algorithm>

#include "platform/posix/warning.h"
#include "platform/wayland/cover/cover.h"
#include "platform/wayland/cover/frame_copies.h"
#include "platform/wayland/screen_copy/copy_chain.h"
#include "platform/wayland/screen_copy/placement.h"
#include "platform/wayland/wayland_platform.h"
#include "platform/wayland/wl_connection.h"
#include "platform/wayland/wl_globals.h"
#include "platform/wayland/wl_shm_memory.h"

namespace ostrel {
namespace {

// A first picture is presented at the compositor's next frame.
constexpr auto kFirstPicturePatience = std::chrono::milliseconds(500);

}  // namespace

void WaylandPlatform::CreateFrame() {
  // Two copies of the frame in one shared memory; the second copy's pages
  // are taken only as they are written, from the first tick on.
  const auto width = static_cast<std::size_t>(layout_.width);
  frame_copy_bytes_ = width * static_cast<std::size_t>(layout_.height) * 4;
  // One row more: the compositor checks that a buffer's every row, the last
  // one too, lies whole in the pool, and a buffer for an output at the right
  // of the last copy has its last row run past the copy by a stride's rest.
  memory_ = std::make_shared<ShmMemory>(globals_->shm,
                                        frame_copy_bytes_ * FrameCopies::kCopies + width * 4);
  // The screen is copied into the first copy before anything is shown.
  memory_->TakePagesNow(frame_copy_bytes_);
  drawing_ = std::make_unique<SoftwareSurface>(FrameCopyImage(0), layout_.TwipsPerPixel());
}

Image WaylandPlatform::FrameCopyImage(int copy) const {
  return Image(memory_->Pixels(static_cast<std::size_t>(copy) * frame_copy_bytes_), layout_.width,
               layout_.height, layout_.width, memory_);
}

void WaylandPlatform::CopyScreen() {
  screen_copied_ = true;
  std::vector<ScreenCopyTarget> targets;
  for (auto& [name, output] : globals_->outputs) {
    if (output->FrameIndex() < 0) continue;
    targets.push_back({output->Proxy(), output->ConnectorName(),
                       layout_.PixelRect(output->FramePlace()), output->Report().transform});
  }
  const ScreenCopyDestination frame{
      &drawing_->Frame(), memory_.get(),
      static_cast<std::size_t>(copies_ ? copies_->Current() : 0) * frame_copy_bytes_};
  const ScreenCopyChain::Result copied = screen_copy_->Copy(frame, targets);
  gate_.RethrowFailure();
  for (const std::string& line : copied.lines) Warn(line);
  // Only the whole screen is the clipboard's picture; an interrupted copy
  // leaves the end of the run to the loop.
  screen_in_frame_ = copied.kind == ScreenCopyChain::Result::Kind::kWhole;
  // The copy took several ticks' time: the timer counts from now, so that no
  // tick draws into the frame before it becomes the window's picture.
  timer_.Start(Clock::now());
}

void WaylandPlatform::SetPicture(Picture picture) {
  // The frame's own picture (the screen copied into it) is not copied again.
  if (picture) {
    drawing_->SetBackground(*picture);
  } else {
    drawing_->Frame().Fill(0);
    FrameIsBackground();
  }
  if (copies_) {
    const Rect whole{0, 0, layout_.width, layout_.height};
    copies_->Changed({&whole, 1});
  }
  drawing_->ClearDirtyRects();
  if (shown_) Present();
}

Picture WaylandPlatform::FramePicture() const {
  Image& frame = drawing_->Frame();
  return std::make_shared<const Image>(frame.Row(0), frame.Width(), frame.Height(), frame.Stride(),
                                       memory_);
}

void WaylandPlatform::FrameIsBackground() {
  drawing_->SetBackground(drawing_->Frame());
  drawing_->ClearDirtyRects();
}

void WaylandPlatform::ShowFirstPictures() {
  std::vector<std::uint32_t> shown;  // by registry name: an output may go meanwhile
  for (auto& [name, output] : globals_->outputs) {
    CoverSurface* cover = output->Cover();
    if (output->FrameIndex() < 0 || cover == nullptr || cover->Closed()) continue;
    const Rect rect = layout_.PixelRect(output->FramePlace());
    if (rect.width == layout_.width) continue;  // its rows lie back to back in the frame
    cover->ShowStill(
        globals_->shm, layout_.scale,
        [&](Image& still) {
          const Image& frame = drawing_->Frame();
          const Image part(const_cast<std::uint32_t*>(frame.Row(rect.y)) + rect.x, rect.width,
                           rect.height, frame.Stride(), nullptr);
          PlaceScreenCopy(part, {}, still, {0, 0, rect.width, rect.height});
        },
        true);
    shown.push_back(name);
  }
  if (shown.empty()) return;
  const auto presented = [this](std::uint32_t name) {
    const auto found = globals_->outputs.find(name);
    const CoverSurface* cover = found != globals_->outputs.end() ? found->second->Cover() : nullptr;
    return cover == nullptr || cover->Presented() || cover->Closed();
  };
  WaitFor([&] { return std::all_of(shown.begin(), shown.end(), presented); },
          kFirstPicturePatience);
}

void WaylandPlatform::ShowFrameCopies() {
  // Each output's buffer in each copy: its rectangle of the frame, with the
  // frame's stride.
  std::vector<Rect> places(static_cast<std::size_t>(frame_outputs_));
  const int stride = layout_.width * 4;
  for (auto& [name, output] : globals_->outputs) {
    CoverSurface* cover = output->Cover();
    if (output->FrameIndex() < 0 || cover == nullptr || cover->Closed()) continue;
    const OutputPlace& place = output->FramePlace();
    const Rect rect = layout_.PixelRect(place);
    places[static_cast<std::size_t>(output->FrameIndex())] = rect;
    wl_buffer* buffers[FrameCopies::kCopies] = {};
    for (int copy = 0; copy < FrameCopies::kCopies; ++copy) {
      const std::size_t offset =
          static_cast<std::size_t>(copy) * frame_copy_bytes_ +
          (static_cast<std::size_t>(rect.y) * static_cast<std::size_t>(layout_.width) +
           static_cast<std::size_t>(rect.x)) *
              4;
      buffers[copy] =
          memory_->CreateBuffer(offset, rect.width, rect.height, stride, WL_SHM_FORMAT_XRGB8888);
    }
    cover->SetFrameBuffers(buffers[0], buffers[1], layout_.scale, {place.width, place.height});
  }
  memory_->FreePool(FreeMode::kWithRequests);
  // The first picture on every output is the frame as it is: the desktop.
  copies_ = std::make_unique<FrameCopies>(Rect{0, 0, layout_.width, layout_.height}, places);
  // An output gone before it was covered is neither waited for nor shown.
  for (std::size_t i = 0; i < places.size(); ++i) {
    if (places[i].Empty()) copies_->OutputGone(static_cast<int>(i));
  }
  drawing_->ClearDirtyRects();
  CoverNewAndChangedOutputs();
}

void WaylandPlatform::CoverNewAndChangedOutputs() {
  for (auto& [name, output] : globals_->outputs) {
    if (output->Cover() == nullptr) {
      // An output that came during the run is covered black.
      CoverOutput(*output);
      continue;
    }
    CoverSurface& cover = *output->Cover();
    if (!cover.WantsStill()) continue;
    // Its output changed (mode, scale or transform) or came later: the
    // frozen picture where it has one, black elsewhere, pixel for pixel as
    // the output showed it at the start.
    const int scale = std::max(output->Report().scale, 1);
    const int index = output->FrameIndex();
    const OutputPlace start = output->FramePlace();
    cover.ShowStill(globals_->shm, scale, [&](Image& still) {
      if (index < 0) return;
      const Rect rect = layout_.PixelRect(start);
      // A frame pixel is start.scale / layout_.scale of the output's pixels.
      const Rect place{0, 0, rect.width * start.scale / layout_.scale,
                       rect.height * start.scale / layout_.scale};
      drawing_->WithBackground([&](const Image& frame) {
        const Image part(const_cast<std::uint32_t*>(frame.Row(rect.y)) + rect.x, rect.width,
                         rect.height, frame.Stride(), nullptr);
        PlaceScreenCopy(part, {}, still, place);
      });
    });
  }
}

void WaylandPlatform::FindCovers() {
  frame_covers_.assign(static_cast<std::size_t>(frame_outputs_), nullptr);
  still_covers_.clear();
  for (const auto& [name, output] : globals_->outputs) {
    if (output->Cover() == nullptr) continue;
    if (output->FrameIndex() >= 0) {
      frame_covers_[static_cast<std::size_t>(output->FrameIndex())] = output->Cover();
    } else {
      still_covers_.push_back(output->Cover());
    }
  }
}

void WaylandPlatform::MoveBetweenFrameCopies() {
  if (!copies_) return;
  // Drawing moves to the other copy when the compositor holds none of its
  // buffers, once it has what the current copy gained since it was left.
  FrameCopies::Move move = copies_->BeforeTick();
  if (!move.moved) return;
  Image to = FrameCopyImage(move.to);
  CopyRects(FrameCopyImage(move.from), to, move.rects);
  drawing_->MoveFrame(std::move(to));
}

void WaylandPlatform::Present() {
  if (!copies_) return;
  FindCovers();
  PresentCovers(*copies_, frame_covers_);
  // Sent at once; what a full socket keeps back goes before the next wait.
  Flush(display_);
}

}  // namespace ostrel
