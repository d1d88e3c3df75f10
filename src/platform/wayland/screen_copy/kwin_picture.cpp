#include "platform/wayland/screen_copy/kwin_picture.h"

namespace ostrel {
namespace {

// QImage::Format values of the 32-bit formats a screen comes in.
constexpr std::uint32_t kRgb32 = 4;
constexpr std::uint32_t kArgb32 = 5;
constexpr std::uint32_t kArgb32Premultiplied = 6;
constexpr std::uint32_t kRgbx8888 = 16;
constexpr std::uint32_t kRgba8888 = 17;
constexpr std::uint32_t kRgba8888Premultiplied = 18;

}  // namespace

std::optional<ByteOrder> ByteOrderOfQtFormat(std::uint32_t qt_format) {
  switch (qt_format) {
    case kRgb32:  // 0xAARRGGBB words: B, G, R, A in memory
    case kArgb32:
    case kArgb32Premultiplied:
      return ByteOrder::kBgrx;
    case kRgbx8888:  // R, G, B, A bytes
    case kRgba8888:
    case kRgba8888Premultiplied:
      return ByteOrder::kRgbx;
    default:
      return std::nullopt;
  }
}

}  // namespace ostrel
