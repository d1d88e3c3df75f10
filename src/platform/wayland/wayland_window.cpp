// The window's life on Wayland: its surfaces shown, the event loop with the
// timer, the frame presented from its two copies, and the surfaces closed.

#include <poll.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/posix/end_signals.h"
#include "platform/wayland/frame_copies.h"
#include "platform/wayland/wayland_platform.h"
#include "platform/wayland/wl_connection.h"
#include "platform/wayland/wl_globals.h"
#include "platform/wayland/wl_output_surface.h"
#include "platform/wayland/wl_seat_input.h"
#include "platform/wayland/wl_shm_memory.h"

namespace ostrel {
namespace {

// The window ticks at 64 Hz, as the X11 backend does.
constexpr std::int64_t kTickPeriodNs = 15'625'000;
constexpr std::int64_t kConfigureTimeoutNs = 2'000'000'000;

}  // namespace

void WaylandPlatform::ShowForm() {
  if (!loaded_) return;  // a signal during the start-up's yield already ended the run
  for (WaylandOutput* output : outputs_) {
    surfaces_.push_back(std::make_unique<OutputSurface>(globals_->compositor,
                                                        globals_->layer_shell, output->output,
                                                        layout_.scale));
  }
  const bool configured = DispatchUntil(
      display_,
      [this] {
        return std::all_of(surfaces_.begin(), surfaces_.end(),
                           [](const auto& s) { return s->Configured() || s->Closed(); });
      },
      MonotonicNs() + kConfigureTimeoutNs);
  input_->RethrowFailure();
  if (!configured) throw PlatformError("the compositor did not configure the window's surfaces");
  if (!loaded_) return;  // a key or a signal during the wait ended the run

  // Each output's buffer in each copy: its rectangle of the frame, with the
  // frame's stride.
  std::vector<Rect> places;
  const int stride = layout_.width * 4;
  for (std::size_t i = 0; i < surfaces_.size(); ++i) {
    const Rect place = layout_.PixelRect(places_[i]);
    places.push_back(place);
    wl_buffer* buffers[FrameCopies::kCopies] = {};
    for (int copy = 0; copy < FrameCopies::kCopies; ++copy) {
      const std::size_t offset =
          static_cast<std::size_t>(copy) * copy_bytes_ +
          (static_cast<std::size_t>(place.y) * static_cast<std::size_t>(layout_.width) +
           static_cast<std::size_t>(place.x)) * 4;
      buffers[copy] = memory_->CreateBuffer(offset, place.width, place.height, stride,
                                            WL_SHM_FORMAT_XRGB8888);
    }
    surfaces_[i]->SetBuffers(buffers[0], buffers[1]);
  }
  memory_->ReleasePool(true);
  // The first picture on every output is the frame as it is: the desktop.
  copies_ = std::make_unique<FrameCopies>(Rect{0, 0, layout_.width, layout_.height}, places);
  surface_->ClearDirtyRects();
  shown_ = true;
  Present();
}

void WaylandPlatform::UnloadForm() {
  if (!loaded_) return;
  loaded_ = false;
  shown_ = false;
  input_->Translator().ForgetWindow();
  // The frame's memory stays: the clipboard may still encode its picture.
  for (auto& surface : surfaces_) surface->Destroy(true);
  surfaces_.clear();
  copies_.reset();
  wl_display_flush(display_);
}

std::int64_t WaylandPlatform::NextDeadline() const {
  return timer_start_ + ticks_due_ * kTickPeriodNs;
}

void WaylandPlatform::RunMessageLoop() {
  const int display_fd = wl_display_get_fd(display_);
  while (loaded_) {
    // Sleep until the next tick, an event or a signal. What waits in the
    // queue already is dispatched first (poll cannot see it); a socket too
    // full to take all requests is written again as soon as it can.
    if (wl_display_dispatch_pending(display_) < 0) throw PlatformError(ConnectionFailure(display_));
    input_->RethrowFailure();
    CollectReleases();
    if (!loaded_) break;
    flush_pending_ = !Flush(display_);
    const std::int64_t wait = std::max<std::int64_t>(NextDeadline() - MonotonicNs(), 0);
    pollfd fds[2] = {
        {display_fd, static_cast<short>(POLLIN | (flush_pending_ ? POLLOUT : 0)), 0},
        {EndSignalFd(), POLLIN, 0}};
    const timespec timeout{wait / 1'000'000'000, wait % 1'000'000'000};
    if (ppoll(fds, 2, &timeout, nullptr) < 0 && errno != EINTR) {
      throw PlatformError(std::string("waiting for events failed: ") + std::strerror(errno));
    }
    if (fds[1].revents != 0 && DrainEndSignals()) events_->Form_SystemClose();
    if (loaded_ && fds[0].revents != 0) ReadAndDispatch(display_, fds[0].revents);
    input_->RethrowFailure();
    if (loaded_) CollectReleases();
    if (loaded_ && MonotonicNs() >= NextDeadline()) Tick();
  }
}

void WaylandPlatform::ProcessPending() {
  pollfd fd{wl_display_get_fd(display_), POLLIN, 0};
  flush_pending_ = !Flush(display_);
  if (poll(&fd, 1, 0) < 0 && errno != EINTR) {
    throw PlatformError(std::string("waiting for events failed: ") + std::strerror(errno));
  }
  ReadAndDispatch(display_, fd.revents);
  input_->RethrowFailure();
  CollectReleases();
  if (loaded_ && DrainEndSignals()) events_->Form_SystemClose();
  if (loaded_ && MonotonicNs() >= NextDeadline()) Tick();
}

void WaylandPlatform::CollectReleases() {
  if (!copies_) return;
  for (std::size_t i = 0; i < surfaces_.size(); ++i) {
    OutputSurface& surface = *surfaces_[i];
    const int output = static_cast<int>(i);
    for (int copy = 0; copy < FrameCopies::kCopies; ++copy) {
      if (surface.TakeRelease(copy)) copies_->Released(output, copy);
    }
    // A closed surface (its output went away) is destroyed and never waited
    // for again; its place in the list stays, so indexes keep their meaning.
    if (surface.Closed() && surface.Surface() != nullptr) {
      copies_->OutputGone(output);
      surface.Destroy(true);
    }
  }
  // Every surface is gone (its outputs unplugged or turned off): nothing is
  // shown and no input can reach the window any more, so the run ends, as
  // when the system asks it to.
  const bool all_closed = std::all_of(surfaces_.begin(), surfaces_.end(),
                                      [](const auto& surface) { return surface->Closed(); });
  if (loaded_ && shown_ && !surfaces_.empty() && all_closed) events_->Form_SystemClose();
}

void WaylandPlatform::Tick() {
  // Tick n is due at a fixed time from the start, so late wake-ups never add
  // up to drift. After a long stall the missed ticks are dropped.
  const std::int64_t now = MonotonicNs();
  ++ticks_due_;
  if (NextDeadline() <= now) ticks_due_ = (now - timer_start_) / kTickPeriodNs + 1;

  if (copies_) {
    // Drawing moves to the other copy when the compositor holds none of its
    // buffers, once it has what the current copy gained since it was left.
    FrameCopies::Move move = copies_->BeforeTick();
    if (move.moved) {
      Image to = CopyImage(move.to);
      CopyRects(CopyImage(move.from), to, move.rects);
      surface_->MoveFrame(std::move(to));
    }
  }
  events_->Timer1_Timer();
  if (loaded_ && shown_) {
    copies_->Changed(surface_->DirtyRects());
    surface_->ClearDirtyRects();
    Present();
  }
}

void WaylandPlatform::Present() {
  for (const FrameCopies::Commit& commit : copies_->TakeCommits()) {
    surfaces_[static_cast<std::size_t>(commit.output)]->Show(commit.copy, commit.damage);
  }
  flush_pending_ = !Flush(display_);
}

}  // namespace ostrel
