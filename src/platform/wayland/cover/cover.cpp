#include "platform/wayland/cover/cover.h"

#include <algorithm>
#include <cstddef>

namespace ostrel {

bool CollectCovers(FrameCopies& copies, std::span<Cover* const> frame_covers,
                   std::span<Cover* const> still_covers) {
  bool any_open = false;
  for (std::size_t i = 0; i < frame_covers.size(); ++i) {
    Cover* cover = frame_covers[i];
    const int output = static_cast<int>(i);
    if (cover != nullptr && !cover->Closed()) any_open = true;
    if (cover == nullptr || cover->Closed() || !cover->ShowsFrameCopies()) {
      copies.OutputGone(output);
      continue;
    }
    for (int copy = 0; copy < FrameCopies::kCopies; ++copy) {
      if (cover->TakeBufferRelease(copy)) copies.Released(output, copy);
    }
  }
  any_open = any_open || std::any_of(still_covers.begin(), still_covers.end(),
                                     [](const Cover* c) { return c != nullptr && !c->Closed(); });
  return !any_open;
}

void PresentCovers(FrameCopies& copies, std::span<Cover* const> frame_covers) {
  for (const FrameCopies::Commit& commit : copies.TakeCommits()) {
    Cover* cover = frame_covers[static_cast<std::size_t>(commit.output)];
    if (cover != nullptr) cover->ShowFrameCopy(commit.copy, commit.damage);
  }
}

}  // namespace ostrel
