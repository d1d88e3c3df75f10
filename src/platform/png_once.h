#pragma once

// A clipboard's PNG (X11's and Wayland's): encoded from the picture the first
// time someone asks for it, and kept. Encoding a full screen takes tens of milliseconds and most
// runs are never asked, so it is not done before then.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/image.h"

namespace ostrel {

using PngBytes = std::vector<std::uint8_t>;

class PngOnce {
 public:
  // Calls `use` with the picture as it was when it was put on the clipboard.
  using Lender = std::function<void(const std::function<void(const Image&)>& use)>;

  explicit PngOnce(const PixelFormat& format) : format_(format) {}

  // A new picture: the PNG of the old one is forgotten. Without `lend` the
  // PNG is encoded from `picture` itself.
  void Reset(Picture picture, Lender lend);
  // No picture any more.
  void Clear() { Reset(nullptr, nullptr); }

  // The PNG, encoded now if it is not yet. Null when there is no picture or
  // encoding failed; a failed encoding is tried again on the next call.
  std::shared_ptr<const PngBytes> Get();

  const Picture& picture() const { return picture_; }

 private:
  PixelFormat format_;
  Picture picture_;
  Lender lend_;
  std::shared_ptr<const PngBytes> png_;
};

}  // namespace ostrel
