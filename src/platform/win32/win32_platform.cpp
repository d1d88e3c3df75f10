#include "platform/win32/win32_platform.h"

#include <cstdint>
#include <string>
#include <utility>

#include "platform/win32/resources.h"
#include "platform/win32/win32_clipboard.h"
#include "platform/win32/win32_text.h"

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace ostrel {
namespace {

constexpr wchar_t kClassName[] = L"ostrel";
constexpr UINT_PTR kTimerId = 1;
constexpr double kDefaultDpi = 96.0;

// The primary monitor's DPI: its effective DPI where the system can tell it per
// monitor (shcore, Windows 8.1 and later), the system DPI otherwise.
double PrimaryMonitorDpi() {
  UINT dpi_x = 0;
  UINT dpi_y = 0;
  if (HMODULE shcore = LoadLibraryExW(L"shcore.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    using GetDpiForMonitorFunction = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
    constexpr int kEffectiveDpi = 0;  // MDT_EFFECTIVE_DPI
    const auto get_dpi = reinterpret_cast<GetDpiForMonitorFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(shcore, "GetDpiForMonitor")));
    // The primary monitor is the one whose top-left corner is the origin.
    const HMONITOR primary = MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    if (get_dpi == nullptr || FAILED(get_dpi(primary, kEffectiveDpi, &dpi_x, &dpi_y))) dpi_x = 0;
    FreeLibrary(shcore);
  }
  if (dpi_x == 0) {
    if (HDC screen = GetDC(nullptr)) {
      dpi_x = static_cast<UINT>(GetDeviceCaps(screen, LOGPIXELSX));
      ReleaseDC(nullptr, screen);
    }
  }
  return dpi_x >= 10 && dpi_x <= 2000 ? static_cast<double>(dpi_x) : kDefaultDpi;
}

// The window's Shift argument: bit 0 Shift, bit 1 Ctrl, bit 2 Alt.
int KeyShift() {
  return (GetKeyState(VK_SHIFT) < 0 ? 1 : 0) | (GetKeyState(VK_CONTROL) < 0 ? 2 : 0) |
         (GetKeyState(VK_MENU) < 0 ? 4 : 0);
}

int MouseShift(WPARAM keys) {
  return ((keys & MK_SHIFT) != 0 ? 1 : 0) | ((keys & MK_CONTROL) != 0 ? 2 : 0) |
         (GetKeyState(VK_MENU) < 0 ? 4 : 0);
}

// The window's Button argument: 1 left, 2 right, 4 middle, 8 and 16 the X buttons.
int ButtonsHeld(WPARAM keys) {
  return ((keys & MK_LBUTTON) != 0 ? 1 : 0) | ((keys & MK_RBUTTON) != 0 ? 2 : 0) |
         ((keys & MK_MBUTTON) != 0 ? 4 : 0) | ((keys & MK_XBUTTON1) != 0 ? 8 : 0) |
         ((keys & MK_XBUTTON2) != 0 ? 16 : 0);
}

int ButtonOf(UINT message, WPARAM wparam) {
  switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
      return 1;
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
      return 2;
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
      return 4;
    default:  // an X button: which one is in the high word
      return ((wparam >> 16) & 0xFFFF) == XBUTTON1 ? 8 : 16;
  }
}

// The signed client coordinates packed in a mouse message.
int LowCoordinate(LPARAM lparam) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(lparam & 0xFFFF));
}
int HighCoordinate(LPARAM lparam) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>((lparam >> 16) & 0xFFFF));
}

}  // namespace

// The window's picture: a top-down 32-bit DIB section selected into a memory
// DC, so that the software surface writes its pixels and GDI copies them to
// the window and from the screen.
class Win32Platform::Frame {
 public:
  Frame(int width, int height) : width_(width), height_(height) {
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
  ~Frame() {
    SelectObject(dc_, previous_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
  }
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;

  HDC Dc() const { return dc_; }
  // The pixels; `owner` (this frame) stays alive as long as the view.
  static Image View(const std::shared_ptr<Frame>& owner) {
    return Image(owner->bits_, owner->width_, owner->height_, owner->width_, owner);
  }

 private:
  int width_;
  int height_;
  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ previous_ = nullptr;
  std::uint32_t* bits_ = nullptr;
};

Win32Platform::Win32Platform(HINSTANCE instance)
    : instance_(instance),
      left_(GetSystemMetrics(SM_XVIRTUALSCREEN)),
      top_(GetSystemMetrics(SM_YVIRTUALSCREEN)),
      width_(GetSystemMetrics(SM_CXVIRTUALSCREEN)),
      height_(GetSystemMetrics(SM_CYVIRTUALSCREEN)),
      twips_per_pixel_(1440.0 / PrimaryMonitorDpi()) {}

Win32Platform::~Win32Platform() {
  if (loaded_) {
    try {
      UnloadForm();
    } catch (...) {
    }
  }
  surface_.reset();
  frame_.reset();
}

float Win32Platform::Twips(int pixels) const {
  return static_cast<float>(pixels * twips_per_pixel_);
}

Win32Platform::Frame& Win32Platform::RequireFrame() {
  if (!frame_ || !surface_) throw PlatformError("the window has not been created");
  return *frame_;
}

Picture Win32Platform::FramePicture() const {
  return std::make_shared<const Image>(Frame::View(frame_));
}

void Win32Platform::CreateForm(std::string_view caption, int timer_interval_ms,
                               WindowEvents& events) {
  events_ = &events;
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  // A DC of its own: each tick draws to the window without asking for one.
  window_class.style = CS_OWNDC;
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = instance_;
  window_class.hIcon = LoadIconW(instance_, MAKEINTRESOURCEW(OSTREL_ICON));
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = nullptr;  // the frame covers every pixel
  window_class.lpszClassName = kClassName;
  SetLastError(ERROR_SUCCESS);
  if (RegisterClassExW(&window_class) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    ThrowLastError("cannot register the window class");
  }

  if (width_ <= 0 || height_ <= 0) throw PlatformError("the system reports no screen");
  frame_ = std::make_shared<Frame>(width_, height_);
  surface_ = std::make_unique<SoftwareSurface>(Frame::View(frame_), twips_per_pixel_);

  // Over every monitor, above every other window, and not in the task bar.
  SetLastError(ERROR_SUCCESS);
  window_ =
      CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, kClassName, Widen(caption).c_str(),
                      WS_POPUP, left_, top_, width_, height_, nullptr, nullptr, instance_, this);
  if (window_ == nullptr) ThrowLastError("cannot create the window");
  window_dc_ = GetDC(window_);
  loaded_ = true;
  SetLastError(ERROR_SUCCESS);
  if (SetTimer(window_, kTimerId, static_cast<UINT>(timer_interval_ms > 0 ? timer_interval_ms : 0),
               nullptr) == 0) {
    ThrowLastError("cannot start the window's timer");
  }
}

void Win32Platform::ShowForm() {
  if (!loaded_) return;
  // The first paint shows the whole frame; what was drawn before is part of it.
  surface_->ClearDirtyRects();
  shown_ = true;
  ShowWindow(window_, SW_SHOWNORMAL);
  // Keys go to the foreground window. Should the system refuse, the mouse
  // still ends the run.
  if (loaded_) SetForegroundWindow(window_);
  if (loaded_) UpdateWindow(window_);
  ThrowIfFailed();
}

void Win32Platform::RunMessageLoop() {
  MSG message;
  while (loaded_) {
    SetLastError(ERROR_SUCCESS);
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == -1) ThrowLastError("waiting for window messages failed");
    if (got == 0) break;  // the quit message: the window is gone
    DispatchMessageW(&message);
    ThrowIfFailed();
  }
  ThrowIfFailed();
  // The window closing posted the quit message; it must not end a message box
  // shown later.
  PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
}

void Win32Platform::DoEvents() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // Leave it for the loop that ends on it.
      PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    DispatchMessageW(&message);
    ThrowIfFailed();
  }
  ThrowIfFailed();
}

void Win32Platform::UnloadForm() {
  if (!loaded_) return;
  loaded_ = false;
  shown_ = false;
  HWND window = window_;
  window_ = nullptr;
  window_dc_ = nullptr;  // the class DC goes with the window
  KillTimer(window, kTimerId);
  // Destroying the window posts the quit message (WM_DESTROY); should it fail,
  // the loop must still end.
  if (!DestroyWindow(window)) PostQuitMessage(0);
}

void Win32Platform::KeybdEvent(std::uint8_t virtual_key, std::uint8_t /*scan_code*/,
                               std::uint32_t flags, std::uintptr_t /*extra_info*/) {
  if (!IsSnapshotKeyDown(virtual_key, flags)) return;
  RequireFrame();
  clipboard_copy_failed_ = true;
  DWORD error = ERROR_SUCCESS;
  if (!CopyScreenToFrame(&error)) return;
  // The frame is the screen copy now: no circle is shown on it.
  surface_->SetBackground(surface_->Frame());
  clipboard_copy_failed_ = !PutClipboardPicture(window_, surface_->Frame());
}

bool Win32Platform::CopyScreenToFrame(DWORD* error) {
  SetLastError(ERROR_SUCCESS);
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) {
    *error = GetLastError();
    return false;
  }
  // CAPTUREBLT: layered windows are part of the screen as the user sees it.
  const BOOL copied =
      BitBlt(frame_->Dc(), 0, 0, width_, height_, screen, left_, top_, SRCCOPY | CAPTUREBLT);
  *error = GetLastError();
  ReleaseDC(nullptr, screen);
  // The pixels are read directly next; GDI may still hold the copy in its batch.
  GdiFlush();
  return copied != FALSE;
}

Picture Win32Platform::ClipboardPicture() {
  RequireFrame();
  if (clipboard_copy_failed_) return nullptr;
  if (!DrawClipboardPicture(window_, surface_->Frame())) return nullptr;
  return FramePicture();
}

Picture Win32Platform::CaptureScreen() {
  RequireFrame();
  DWORD error = ERROR_SUCCESS;
  if (!CopyScreenToFrame(&error)) {
    throw PlatformError(SystemErrorText("cannot copy the screen", error));
  }
  return FramePicture();
}

void Win32Platform::SetPicture(Picture picture) {
  RequireFrame();
  // A picture in the frame's own memory is not copied; no picture is black.
  if (picture) {
    surface_->SetBackground(*picture, 0);
  } else {
    surface_->SetBackground(Image(), 0);
  }
  if (shown_) {
    surface_->ClearDirtyRects();
    InvalidateRect(window_, nullptr, FALSE);
  }
}

float Win32Platform::ScreenWidthTwips() { return Twips(width_); }

float Win32Platform::ScreenHeightTwips() { return Twips(height_); }

int Win32Platform::ShowCursor(bool show) { return ::ShowCursor(show ? TRUE : FALSE); }

DrawingSurface& Win32Platform::Surface() {
  RequireFrame();
  return *surface_;
}

void Win32Platform::ReportError(std::string_view message) {
  try {
    // A quit message still queued would close the message box at once.
    MSG quit;
    PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
    const std::string line = "ostrel: " + std::string(message) + "\r\n";
    HANDLE error_output = GetStdHandle(STD_ERROR_HANDLE);
    if (error_output != nullptr && error_output != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(error_output, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    MessageBoxW(nullptr, Widen(message).c_str(), L"ostrel",
                MB_OK | MB_ICONERROR | MB_SETFOREGROUND | MB_TOPMOST);
  } catch (...) {
    // Out of memory while reporting: nothing more can be said.
  }
}

void Win32Platform::ThrowIfFailed() {
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

template <typename Call>
void Win32Platform::Deliver(Call&& call) {
  if (!loaded_ || failure_) return;
  try {
    call();
  } catch (...) {
    failure_ = std::current_exception();
  }
}

void Win32Platform::Tick() {
  events_->Timer1_Timer();
  if (loaded_) PresentDirty();
}

void Win32Platform::PresentDirty() {
  if (!shown_ || window_dc_ == nullptr) return;  // the first paint shows everything
  for (const Rect& rect : surface_->DirtyRects()) {
    BitBlt(window_dc_, rect.x, rect.y, rect.width, rect.height, frame_->Dc(), rect.x, rect.y,
           SRCCOPY);
  }
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
  BitBlt(dc, area.left, area.top, area.right - area.left, area.bottom - area.top, frame_->Dc(),
         area.left, area.top, SRCCOPY);
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

LRESULT Win32Platform::HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  const auto x = [this, lparam] { return Twips(LowCoordinate(lparam)); };
  const auto y = [this, lparam] { return Twips(HighCoordinate(lparam)); };
  switch (message) {
    case WM_TIMER:
      if (wparam != kTimerId) break;
      Deliver([this] { Tick(); });
      return 0;
    case WM_PAINT:
      Paint(window);
      return 0;
    case WM_ERASEBKGND:
      return 1;  // nothing to erase: the frame covers every pixel, so nothing flickers
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
      Deliver([this, wparam] { events_->Form_KeyDown(static_cast<int>(wparam), KeyShift()); });
      return 0;
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
    case WM_XBUTTONDOWN:
      Deliver([&] {
        events_->Form_MouseDown(ButtonOf(message, wparam), MouseShift(wparam), x(), y());
      });
      return message == WM_XBUTTONDOWN ? TRUE : 0;
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
    case WM_MBUTTONUP:
    case WM_XBUTTONUP:
      Deliver(
          [&] { events_->Form_MouseUp(ButtonOf(message, wparam), MouseShift(wparam), x(), y()); });
      return message == WM_XBUTTONUP ? TRUE : 0;
    case WM_MOUSEMOVE:
      Deliver([&] { events_->Form_MouseMove(ButtonsHeld(wparam), MouseShift(wparam), x(), y()); });
      return 0;
    case WM_CLOSE:
      // The window's own ending closes it (and shows the cursor again).
      Deliver([this] { events_->Form_SystemClose(); });
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      if (wparam != FALSE) Deliver([this] { events_->Form_SystemClose(); });
      return 0;
    case WM_SYSCOMMAND:
      // The system would start the screen saver over this window.
      if ((wparam & 0xFFF0) == SC_SCREENSAVE) return 0;
      break;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace ostrel
