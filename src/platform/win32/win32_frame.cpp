#include "platform/win32/win32_frame.h"

#include <string>

#include "platform/platform_error.h"
#include "platform/win32/win32_text.h"

namespace ostrel {

Win32Frame::Win32Frame(int width, int height) : width_(width), height_(height) {
  BITMAPINFO format{};
  format.bmiHeader.biSize = sizeof format.bmiHeader;
  format.bmiHeader.biWidth = width;
  format.bmiHeader.biHeight = -height;  // top-down: row 0 is the top
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 32;
  format.bmiHeader.biCompression = BI_RGB;
  SetLastError(ERROR_SUCCESS);
  dc_ = CreateCompatibleDC(nullptr);
  if (dc_ == nullptr) ThrowLastError("cannot make a drawing context for the window's picture");
  void* bits = nullptr;
  bitmap_ = CreateDIBSection(dc_, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap_ == nullptr || bits == nullptr) {
    const DWORD error = GetLastError();
    DeleteDC(dc_);
    throw PlatformError(SystemErrorText("cannot make the window's picture (" +
                                            std::to_string(width) + "x" + std::to_string(height) +
                                            " pixels)",
                                        error));
  }
  bits_ = static_cast<std::uint32_t*>(bits);
  previous_ = SelectObject(dc_, bitmap_);
}

Win32Frame::~Win32Frame() {
  SelectObject(dc_, previous_);
  DeleteObject(bitmap_);
  DeleteDC(dc_);
}

Image Win32Frame::View(const std::shared_ptr<Win32Frame>& owner) {
  return Image(owner->bits_, owner->width_, owner->height_, owner->width_, owner);
}

bool Win32Frame::CopyFromScreen(int left, int top, DWORD* error) {
  SetLastError(ERROR_SUCCESS);
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) {
    *error = GetLastError();
    return false;
  }
  // CAPTUREBLT: layered windows are part of the screen as the user sees it.
  const BOOL copied = BitBlt(dc_, 0, 0, width_, height_, screen, left, top, SRCCOPY | CAPTUREBLT);
  *error = GetLastError();
  ReleaseDC(nullptr, screen);
  // The pixels are read directly next; GDI may still hold the copy in its batch.
  GdiFlush();
  return copied != FALSE;
}

void Win32Frame::CopyTo(HDC target, const Rect& rect) const {
  BitBlt(target, rect.x, rect.y, rect.width, rect.height, dc_, rect.x, rect.y, SRCCOPY);
}

}  // namespace ostrel
