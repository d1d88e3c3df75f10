#pragma once

// One output's cover as the window's bookkeeping sees it: shown from the
// frame's two copies, or, once its output no longer matches its place in
// the frame (or for an output that came later), from a still picture of its
// own. Plain, so that the bookkeeping is tested without a compositor; the
// Wayland cover (CoverSurface, with its role: a layer-shell overlay or a
// fullscreen toplevel) implements it.

#include <span>

#include "platform/rect.h"
#include "platform/wayland/cover/frame_copies.h"

namespace ostrel {

class Cover {
 public:
  // The compositor no longer shows it (its output went away, say).
  virtual bool Closed() const = 0;
  // It is shown from the frame's copies (not yet configured, or showing a
  // still picture of its own: no).
  virtual bool ShowsFrameCopies() const = 0;
  // Whether the compositor gave back its buffer in frame copy `copy` since
  // the last look.
  virtual bool TakeBufferRelease(int copy) = 0;
  // Shows its buffer in frame copy `copy`, with `damage` in its own pixels.
  virtual void ShowFrameCopy(int copy, std::span<const Rect> damage) = 0;

 protected:
  ~Cover() = default;
};

// After a dispatch: notes in `copies` the buffers the compositor gave back,
// and the outputs no longer shown from the frame's copies (their cover
// closed, gone or showing a still picture), which are then neither waited for
// nor shown. `frame_covers[i]` covers output i of `copies` (null: its output
// went away); `still_covers` show still pictures of their own. True when
// every cover is closed or gone: nothing of the window shows any more and no
// input can reach it, so the run is over.
bool CollectCovers(FrameCopies& copies, std::span<Cover* const> frame_covers,
                   std::span<Cover* const> still_covers);

// Shows on each cover what `copies` says can be shown now.
void PresentCovers(FrameCopies& copies, std::span<Cover* const> frame_covers);

}  // namespace ostrel
