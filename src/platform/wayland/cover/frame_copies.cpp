#include "platform/wayland/cover/frame_copies.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace ostrel {

void CopyRects(const Image& from, Image& to, std::span<const Rect> rects) {
  const Rect bounds{0, 0, std::min(from.Width(), to.Width()), std::min(from.Height(), to.Height())};
  for (const Rect& rect : rects) {
    const Rect part = Intersection(rect, bounds);
    for (int y = part.y; y < part.y + part.height; ++y) {
      std::memcpy(to.Row(y) + part.x, from.Row(y) + part.x,
                  static_cast<std::size_t>(part.width) * sizeof(std::uint32_t));
    }
  }
}

FrameCopies::FrameCopies(Rect frame, std::vector<Rect> outputs) : frame_(frame) {
  for (const Rect& place : outputs) {
    Output output;
    output.place = Intersection(place, frame);
    AddRect(output.damage, output.place, frame_, kMostRects);
    outputs_.push_back(std::move(output));
  }
  AddRect(lacks_[1], frame_, frame_, kMostRects);
}

void FrameCopies::Released(int output, int copy) {
  if (output < 0 || Index(output) >= outputs_.size() || copy < 0 || copy >= kCopies) {
    throw std::out_of_range("no such output buffer");
  }
  outputs_[Index(output)].held[Index(copy)] = false;
}

void FrameCopies::OutputGone(int output) {
  Output& gone = outputs_.at(Index(output));
  gone.live = false;
  gone.damage.clear();
}

FrameCopies::Move FrameCopies::BeforeTick() {
  const int other = 1 - current_;
  const bool free = std::none_of(outputs_.begin(), outputs_.end(), [other](const Output& o) {
    return o.live && o.held[Index(other)];
  });
  Move move;
  move.from = current_;
  move.to = current_;
  if (!free) return move;
  move.moved = true;
  move.to = other;
  move.rects = std::move(lacks_[Index(other)]);
  lacks_[Index(other)].clear();
  current_ = other;
  return move;
}

void FrameCopies::Changed(std::span<const Rect> rects) {
  std::vector<Rect>& other_lacks = lacks_[Index(1 - current_)];
  for (const Rect& rect : rects) {
    AddRect(other_lacks, rect, frame_, kMostRects);
    for (Output& output : outputs_) {
      if (output.live) AddRect(output.damage, rect, output.place, kMostRects);
    }
  }
}

std::vector<FrameCopies::Commit> FrameCopies::TakeCommits() {
  std::vector<Commit> commits;
  for (std::size_t i = 0; i < outputs_.size(); ++i) {
    Output& output = outputs_[i];
    if (!output.live || output.held[Index(current_)]) continue;
    // An output nothing new is drawn on is committed all the same while it
    // holds the other copy: the compositor gives a buffer back only when the
    // output commits another, and until then drawing could not move to that
    // copy, so no output would be shown anything new. Its commit damages one
    // pixel, the same in both copies: with no damage at all wlroots keeps
    // showing the buffer it has and gives back the new one at once.
    if (output.damage.empty()) {
      if (!output.held[Index(1 - current_)]) continue;
      output.damage.push_back({output.place.x, output.place.y, 1, 1});
    }
    Commit commit;
    commit.output = static_cast<int>(i);
    commit.copy = current_;
    for (const Rect& rect : output.damage) {
      commit.damage.push_back(
          {rect.x - output.place.x, rect.y - output.place.y, rect.width, rect.height});
    }
    output.damage.clear();
    output.held[Index(current_)] = true;
    commits.push_back(std::move(commit));
  }
  return commits;
}

}  // namespace ostrel
