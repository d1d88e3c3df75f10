#pragma once

// Rectangles of pixels: the changed parts of a frame, the outputs' places in
// it, the damage sent to a compositor. Plain values and three operations.

#include <cstddef>
#include <vector>

namespace ostrel {

struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;

  bool Empty() const { return width <= 0 || height <= 0; }
  friend bool operator==(const Rect&, const Rect&) = default;
};

// The part of `rect` inside `bounds`, empty (zero size) when they do not meet.
Rect Intersection(Rect rect, Rect bounds);

// The smallest rectangle holding every one of `rects`; empty for none.
Rect BoundingBox(const std::vector<Rect>& rects);

// Adds `rect` to `rects`, clipped to `bounds`; an empty rectangle adds nothing.
// A list longer than `most` becomes its bounding box.
void AddRect(std::vector<Rect>& rects, Rect rect, Rect bounds, std::size_t most);

}  // namespace ostrel
