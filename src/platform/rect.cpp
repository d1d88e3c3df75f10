#include "platform/rect.h"

#include <algorithm>

namespace ostrel {

Rect Intersection(Rect rect, Rect bounds) {
  const int left = std::max(rect.x, bounds.x);
  const int top = std::max(rect.y, bounds.y);
  const int right = std::min(rect.x + rect.width, bounds.x + bounds.width);
  const int bottom = std::min(rect.y + rect.height, bounds.y + bounds.height);
  if (right <= left || bottom <= top) return {left, top, 0, 0};
  return {left, top, right - left, bottom - top};
}

Rect BoundingBox(const std::vector<Rect>& rects) {
  if (rects.empty()) return {};
  int left = rects.front().x;
  int top = rects.front().y;
  int right = left;
  int bottom = top;
  for (const Rect& r : rects) {
    left = std::min(left, r.x);
    top = std::min(top, r.y);
    right = std::max(right, r.x + r.width);
    bottom = std::max(bottom, r.y + r.height);
  }
  return {left, top, right - left, bottom - top};
}

void AddRect(std::vector<Rect>& rects, Rect rect, Rect bounds, std::size_t most) {
  rect = Intersection(rect, bounds);
  if (rect.Empty()) return;
  rects.push_back(rect);
  if (rects.size() > most) rects.assign(1, BoundingBox(rects));
}

}  // namespace ostrel
