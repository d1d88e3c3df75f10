#include "platform/png_once.h"

#include <exception>
#include <utility>

#include "platform/png_codec.h"

namespace ostrel {

void PngOnce::Reset(Picture picture, Lender lend) {
  picture_ = std::move(picture);
  lend_ = std::move(lend);
  png_.reset();  // transfers under way keep their own reference
}

std::shared_ptr<const PngBytes> PngOnce::Get() {
  if (png_ != nullptr || picture_ == nullptr) return png_;
  try {
    if (lend_) {
      lend_([&](const Image& shown) {
        png_ = std::make_shared<const PngBytes>(EncodePng(shown, format_));
      });
    } else {
      png_ = std::make_shared<const PngBytes>(EncodePng(*picture_, format_));
    }
  } catch (const std::exception&) {
    png_.reset();  // this request is refused; the next one tries again
  }
  // Once the PNG is made the lender is never needed again: let go of
  // whatever it holds.
  if (png_ != nullptr) lend_ = nullptr;
  return png_;
}

}  // namespace ostrel
