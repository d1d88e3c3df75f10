#pragma once

// The bookkeeping of the two copies of the frame that the outputs are shown
// from. Plain data, without Wayland types, so that it is tested on its own.
//
// The compositor keeps reading a committed buffer until another one is
// committed on the same surface, so each output has two buffers, one in each
// copy of the frame. A tick draws into one copy (the current one); when the
// other copy is free on every output, drawing moves there first, after the
// rectangles it lacks have been copied over. A copy's buffer is committed on
// an output only while the compositor does not hold it; until then the tick's
// changes wait as that output's damage. Nothing here ever waits.

#include <span>
#include <vector>

#include "platform/image.h"
#include "platform/rect.h"

namespace ostrel {

class FrameCopies {
 public:
  static constexpr int kCopies = 2;
  // Rectangles kept per list before the list is merged into its bounding box.
  static constexpr std::size_t kMostRects = 32;

  // `outputs`: each output's rectangle in the frame. Copy 0 holds the picture
  // and is drawn into; copy 1 lacks all of it. Every output still has to be
  // shown whole.
  FrameCopies(Rect frame, std::vector<Rect> outputs);

  int Current() const { return current_; }

  // The compositor gave back the buffer of `output` in `copy`.
  void Released(int output, int copy);
  // The output's surface is gone: it is neither waited for nor shown any more.
  void OutputGone(int output);
  bool Held(int output, int copy) const { return outputs_[Index(output)].held[Index(copy)]; }

  // Called before a tick draws. When the other copy is free on every output
  // still shown, drawing moves to it: returns the rectangles to copy from the
  // copy drawn into so far (`from`) into the new current copy.
  struct Move {
    bool moved = false;
    int from = 0;
    int to = 0;
    std::vector<Rect> rects;
  };
  Move BeforeTick();

  // The current copy changed in `rects` (frame pixels).
  void Changed(std::span<const Rect> rects);

  // The commits to make now: for every output shown whose buffer in the
  // current copy is free and that has something new or holds the other copy,
  // that buffer with the damage in its own pixels (its top-left pixel when
  // nothing is new).
  // They are counted as committed (held).
  struct Commit {
    int output = 0;
    int copy = 0;
    std::vector<Rect> damage;
  };
  std::vector<Commit> TakeCommits();

 private:
  struct Output {
    Rect place;
    bool live = true;
    bool held[kCopies] = {false, false};
    std::vector<Rect> damage;  // frame pixels, changed since its last commit
  };

  static std::size_t Index(int i) { return static_cast<std::size_t>(i); }

  Rect frame_;
  int current_ = 0;
  std::vector<Output> outputs_;
  std::vector<Rect> lacks_[kCopies];  // where each copy differs from the picture
};

// Copies the rectangles `rects` of `from` into the same places of `to` (two
// copies of the frame, the same size): what BeforeTick's move asks for.
void CopyRects(const Image& from, Image& to, std::span<const Rect> rects);

}  // namespace ostrel
