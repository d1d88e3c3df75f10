#include "platform/wayland/screen_copy/raw_rows.h"

#include <algorithm>
#include <cstring>

#include "platform/wayland/screen_copy/placement.h"

namespace ostrel {

bool RawRows::Begin(ByteOrder order, std::uint32_t width, std::uint32_t height,
                    std::uint32_t stride, Image& frame, Rect place) {
  order_ = order;
  if (width == 0 || height == 0 || width > (1U << 16) || height > (1U << 16) ||
      stride < std::size_t{width} * 4 || stride > (std::size_t{1} << 20)) {
    return false;
  }
  width_ = width;
  height_ = height;
  stride_ = stride;
  frame_ = &frame;
  place_ = place;
  const bool fits = static_cast<int>(width) == place.width &&
                    static_cast<int>(height) == place.height &&
                    Intersection(place, Rect{0, 0, frame.Width(), frame.Height()}) == place;
  if (!fits) own_.emplace(static_cast<int>(width), static_cast<int>(height));
  row_ = 0;
  partial_.clear();
  return true;
}

void RawRows::Add(const std::uint8_t* data, std::size_t size) {
  if (frame_ == nullptr) return;
  // Finish the row begun by the last call, then whole rows straight from the
  // data; what is left waits for the next call.
  if (!partial_.empty()) {
    const std::size_t take = std::min(stride_ - partial_.size(), size);
    partial_.insert(partial_.end(), data, data + take);
    data += take;
    size -= take;
    if (partial_.size() < stride_) return;
    ConvertRow(partial_.data());
    partial_.clear();
  }
  while (size >= stride_ && !Complete()) {
    ConvertRow(data);
    data += stride_;
    size -= stride_;
  }
  if (!Complete() && size > 0) partial_.assign(data, data + size);
}

void RawRows::ConvertRow(const std::uint8_t* row) {
  if (Complete()) return;
  std::uint32_t* out = own_ ? own_->Row(static_cast<int>(row_))
                            : frame_->Row(place_.y + static_cast<int>(row_)) + place_.x;
  for (std::uint32_t x = 0; x < width_; ++x) {
    const std::uint8_t* p = row + std::size_t{x} * 4;
    const bool rgb = order_ == ByteOrder::kRgbx;
    const std::uint32_t r = rgb ? p[0] : p[2];
    const std::uint32_t g = p[1];
    const std::uint32_t b = rgb ? p[2] : p[0];
    out[x] = (r << 16) | (g << 8) | b;
  }
  ++row_;
}

void RawRows::Finish() {
  if (own_ && Complete()) PlaceScreenCopy(*own_, {}, *frame_, place_);
  own_.reset();
}

}  // namespace ostrel
