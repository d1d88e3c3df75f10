#pragma once

// The window's picture on Windows: a top-down 32-bit DIB section selected into
// a memory DC, so that the software surface writes its pixels in place and GDI
// copies them from the screen and to the window.

#include <windows.h>

#include <cstdint>
#include <memory>

#include "platform/image.h"
#include "platform/software_surface.h"

namespace ostrel {

class Win32Frame {
 public:
  // Throws PlatformError when the system cannot make it.
  Win32Frame(int width, int height);
  ~Win32Frame();
  Win32Frame(const Win32Frame&) = delete;
  Win32Frame& operator=(const Win32Frame&) = delete;

  // The pixels; `owner` (this frame) stays alive as long as the view.
  static Image View(const std::shared_ptr<Win32Frame>& owner);

  // Copies the screen's area of the frame's size whose top-left corner is at
  // (left, top) into the frame. False, with the system's error code (0 when it
  // gave none), when it cannot.
  bool CopyFromScreen(int left, int top, DWORD* error);

  // Copies a rectangle of the frame to the same place in `target`.
  void CopyTo(HDC target, const Rect& rect) const;

 private:
  int width_;
  int height_;
  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ previous_ = nullptr;
  std::uint32_t* bits_ = nullptr;
};

}  // namespace ostrel
