// The window procedure: the window's messages to the window's handlers, ticks
// and paints shown from the frame.

#include "platform/win32/win32_input.h"
#include "platform/win32/win32_platform.h"

namespace ostrel {

void Win32Platform::Tick() {
  gate_.Timer1_Timer();
  if (gate_.IsOpen()) PresentDirty();
}

void Win32Platform::PresentDirty() {
  if (!shown_ || window_dc_ == nullptr) return;  // the first paint shows everything
  for (const Rect& rect : surface_->DirtyRects()) frame_->CopyTo(window_dc_, rect);
  surface_->ClearDirtyRects();
  // The next tick writes these pixels again; GDI must have read them by then.
  GdiFlush();
}

void Win32Platform::Paint(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  if (dc == nullptr) return;
  // Clipped to the invalid region: only what needs it is copied.
  const RECT& area = paint.rcPaint;
  frame_->CopyTo(dc, Rect{area.left, area.top, area.right - area.left, area.bottom - area.top});
  EndPaint(window, &paint);
}

LRESULT CALLBACK Win32Platform::WindowProc(HWND window, UINT message, WPARAM wparam,
                                           LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<Win32Platform*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(window, message, wparam, lparam);
  return self->HandleMessage(window, message, wparam, lparam);
}

void Win32Platform::HandleMouse(UINT message, WPARAM wparam, LPARAM lparam) {
  const MouseEvent mouse = MouseEventOf(message, wparam, lparam, CurrentKeyboardState());
  const float x = Twips(mouse.x);
  const float y = Twips(mouse.y);
  switch (mouse.action) {
    case MouseAction::kDown:
      gate_.Form_MouseDown(mouse.button, mouse.shift, x, y);
      break;
    case MouseAction::kUp:
      gate_.Form_MouseUp(mouse.button, mouse.shift, x, y);
      break;
    case MouseAction::kMove:
      gate_.Form_MouseMove(mouse.button, mouse.shift, x, y);
      break;
    case MouseAction::kNone:
      break;
  }
}

LRESULT Win32Platform::HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_TIMER:
      if (wparam != kTimerId) break;
      Tick();
      return 0;
    case WM_PAINT:
      Paint(window);
      return 0;
    case WM_ERASEBKGND:
      return 1;  // nothing to erase: the frame covers every pixel, so nothing flickers
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
      gate_.Form_KeyDown(static_cast<int>(wparam), KeyShift(CurrentKeyboardState()));
      return 0;
    case WM_CLOSE:
      // The window's own ending closes it (and shows the cursor again).
      gate_.Form_SystemClose();
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      if (wparam != FALSE) gate_.Form_SystemClose();
      return 0;
    case WM_SYSCOMMAND:
      // The system would start the screen saver over this window.
      if ((wparam & 0xFFF0) == SC_SCREENSAVE) return 0;
      break;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      if (MouseActionOf(message) != MouseAction::kNone) {
        HandleMouse(message, wparam, lparam);
        // An application that handles an X button's message returns TRUE.
        return message == WM_XBUTTONDOWN || message == WM_XBUTTONUP ? TRUE : 0;
      }
      break;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace ostrel
