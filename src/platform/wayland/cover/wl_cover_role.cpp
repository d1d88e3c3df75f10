#include "platform/wayland/cover/wl_cover_role.h"

namespace ostrel {

void CoverRole::AckConfigure() {
  if (!configured_ || (acked_ && acked_serial_ == serial_)) return;
  Acknowledge(serial_);
  acked_ = true;
  acked_serial_ = serial_;
  acked_size_ = size_;
}

void CoverRole::OnConfigure(std::uint32_t serial, LogicalSize size) {
  configured_ = true;
  serial_ = serial;
  size_ = size;
  if (acked_ && size_ == acked_size_) AckConfigure();
}

}  // namespace ostrel
