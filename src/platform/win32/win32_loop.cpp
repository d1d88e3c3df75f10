// The message loop and the yield, and the handlers' failures they throw
// after each dispatch (kept by the window's gate meanwhile).

#include "platform/win32/win32_platform.h"
#include "platform/win32/win32_text.h"

namespace ostrel {

void Win32Platform::RunMessageLoop() {
  MSG message;
  while (gate_.IsOpen()) {
    SetLastError(ERROR_SUCCESS);
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == -1) ThrowLastError("waiting for window messages failed");
    if (got == 0) break;  // the quit message: the window is gone
    DispatchMessageW(&message);
    gate_.RethrowFailure();
  }
  gate_.RethrowFailure();
  // The window closing posted the quit message; it must not end a message box
  // shown later.
  PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
}

void Win32Platform::DoEvents() {
  MSG message;
  bool ticked = false;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // Leave it for the loop that ends on it.
      PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    // The system makes a timer message whenever the queue is looked at after
    // the timer's interval, and only when nothing else is queued: a second
    // one means everything pending has been processed, and dispatching it
    // would make the yield run tick after tick for as long as ticks take
    // longer than the interval. (Each tick before the start-up's reset
    // writes a circle at the corner that a later tick draws once more.)
    if (message.message == WM_TIMER && message.hwnd == window_ && message.wParam == kTimerId) {
      if (ticked) break;
      ticked = true;
    }
    DispatchMessageW(&message);
    gate_.RethrowFailure();
  }
  gate_.RethrowFailure();
}

}  // namespace ostrel
