#include "platform/fake/fake_platform.h"

#include <sstream>

namespace ostrel {

Image MakeTestDesktop(int width, int height) {
  Image desktop(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const auto ux = static_cast<std::uint32_t>(x);
      const auto uy = static_cast<std::uint32_t>(y);
      desktop.At(x, y) = ((ux * 7U + uy * 13U) & 0xFFU) << 16 | ((ux ^ uy) & 0xFFU) << 8 |
                         ((ux * 3U + uy) & 0xFFU);
    }
  }
  return desktop;
}

FakePlatform::FakePlatform(int width, int height, double twips_per_pixel)
    : screen_(MakeTestDesktop(width, height)),
      twips_per_pixel_(twips_per_pixel),
      raster_(screen_.Clone(), twips_per_pixel) {}

std::vector<std::string> FakePlatform::Calls(const std::string& prefix) const {
  std::vector<std::string> matching;
  for (const std::string& call : log) {
    if (call.rfind(prefix, 0) == 0) matching.push_back(call);
  }
  return matching;
}

void FakePlatform::Record(std::string call) {
  const bool fails = !fail_on.empty() && call.rfind(fail_on, 0) == 0;
  log.push_back(std::move(call));
  if (fails) throw PlatformError(fail_on + " failed");
}

void FakePlatform::CreateForm(std::string_view caption, int timer_interval_ms,
                              WindowEvents& events) {
  Record("CreateForm " + std::string(caption) + " " + std::to_string(timer_interval_ms));
  events_ = &events;
  loaded_ = true;
}

void FakePlatform::ShowForm() {
  Record("ShowForm");
  cursor_counter_at_show = cursor_counter;
}

void FakePlatform::RunMessageLoop() {
  Record("RunMessageLoop");
  while (loaded_ && !queue.empty()) {
    const FakeEvent event = queue.front();
    queue.pop_front();
    Deliver(event);
  }
}

void FakePlatform::UnloadForm() {
  Record("UnloadForm");
  loaded_ = false;
}

void FakePlatform::KeybdEvent(std::uint8_t virtual_key, std::uint8_t scan_code, std::uint32_t flags,
                              std::uintptr_t extra_info) {
  std::ostringstream call;
  call << "KeybdEvent " << int{virtual_key} << ' ' << int{scan_code} << ' ' << flags << ' '
       << extra_info;
  Record(call.str());
  if (IsSnapshotKeyDown(virtual_key, flags) && print_screen_fills_clipboard) {
    clipboard_ = std::make_shared<const Image>(screen_.Clone());
  }
}

void FakePlatform::DoEvents() {
  Record("DoEvents");
  if (yielded_) return;
  yielded_ = true;
  frame_before_yield = raster_.Frame().Clone();
  for (const FakeEvent& event : during_yield) {
    if (loaded_) Deliver(event);
  }
  frame_after_yield = raster_.Frame().Clone();
}

Picture FakePlatform::ClipboardPicture() {
  Record("ClipboardPicture");
  return clipboard_;
}

Picture FakePlatform::CaptureScreen() {
  Record("CaptureScreen");
  return std::make_shared<const Image>(screen_.Clone());
}

void FakePlatform::SetPicture(Picture picture) {
  Record("SetPicture");
  if (picture) raster_.SetBackground(*picture);
}

float FakePlatform::ScreenWidthTwips() {
  Record("ScreenWidthTwips");
  return static_cast<float>(screen_.Width() * twips_per_pixel_);
}

float FakePlatform::ScreenHeightTwips() {
  Record("ScreenHeightTwips");
  return static_cast<float>(screen_.Height() * twips_per_pixel_);
}

int FakePlatform::ShowCursor(bool show) {
  cursor_counter += show ? 1 : -1;
  Record("ShowCursor " + std::string(show ? "true" : "false") + " -> " +
         std::to_string(cursor_counter));
  return cursor_counter;
}

void FakePlatform::FinishRun(int status) noexcept { Record("FinishRun " + std::to_string(status)); }

void FakePlatform::ReportError(std::string_view message) {
  Record("ReportError " + std::string(message));
}

void FakePlatform::Deliver(const FakeEvent& event) {
  using Kind = FakeEvent::Kind;
  switch (event.kind) {
    case Kind::kTick:
      events_->Timer1_Timer();
      break;
    case Kind::kClick:
      events_->Form_Click();
      break;
    case Kind::kKeyDown:
      events_->Form_KeyDown(event.code, event.shift);
      break;
    case Kind::kMouseDown:
      events_->Form_MouseDown(event.code, event.shift, event.x, event.y);
      break;
    case Kind::kMouseUp:
      events_->Form_MouseUp(event.code, event.shift, event.x, event.y);
      break;
    case Kind::kMouseMove:
      events_->Form_MouseMove(event.code, event.shift, event.x, event.y);
      break;
    case Kind::kSystemClose:
      events_->Form_SystemClose();
      break;
  }
}

void FakePlatform::LoggingSurface::SetDrawModeXorPen() {
  owner_.Record("SetDrawModeXorPen");
  owner_.raster_.SetDrawModeXorPen();
}

void FakePlatform::LoggingSurface::SetPenWidth(int pixels) {
  owner_.Record("SetPenWidth " + std::to_string(pixels));
  owner_.raster_.SetPenWidth(pixels);
}

void FakePlatform::LoggingSurface::Circle(float x, float y, float radius, ColourValue colour) {
  std::ostringstream call;
  call << "Circle " << x << ' ' << y << ' ' << radius << ' ' << colour;
  owner_.Record(call.str());
  owner_.raster_.Circle(x, y, radius, colour);
}

}  // namespace ostrel
