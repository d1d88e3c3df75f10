#include "platform/image.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace ostrel {

Image::Image(int width, int height) {
  if (width < 0 || height < 0) throw std::invalid_argument("negative image size");
  const auto count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  auto storage = std::shared_ptr<std::uint32_t[]>(new std::uint32_t[count]());
  pixels_ = storage.get();
  owner_ = std::move(storage);
  width_ = width;
  height_ = height;
  stride_ = width;
}

Image::Image(std::uint32_t* pixels, int width, int height, std::ptrdiff_t stride,
             std::shared_ptr<void> owner)
    : owner_(std::move(owner)), pixels_(pixels), width_(width), height_(height), stride_(stride) {
  if (width < 0 || height < 0 || stride < width) throw std::invalid_argument("bad image layout");
}

Image Image::Clone() const {
  Image copy(width_, height_);
  copy.CopyFrom(*this, 0);
  return copy;
}

void Image::Fill(std::uint32_t pixel) {
  for (int y = 0; y < height_; ++y) std::fill_n(Row(y), width_, pixel);
}

void Image::CopyFrom(const Image& source, std::uint32_t fill) {
  const int w = std::min(width_, source.width_);
  const int h = std::min(height_, source.height_);
  for (int y = 0; y < height_; ++y) {
    std::uint32_t* row = Row(y);
    int filled_from = 0;
    if (y < h) {
      std::memcpy(row, source.Row(y), static_cast<std::size_t>(w) * sizeof(std::uint32_t));
      filled_from = w;
    }
    std::fill(row + filled_from, row + width_, fill);
  }
}

bool SamePixels(const Image& a, const Image& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
  const auto row_bytes = static_cast<std::size_t>(a.Width()) * sizeof(std::uint32_t);
  for (int y = 0; y < a.Height(); ++y) {
    if (std::memcmp(a.Row(y), b.Row(y), row_bytes) != 0) return false;
  }
  return true;
}

}  // namespace ostrel
