#include "platform/win32/win32_platform.h"

#include <string>
#include <utility>

#include "platform/win32/resources.h"
#include "platform/win32/win32_text.h"

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace ostrel {
namespace {

constexpr wchar_t kClassName[] = L"ostrel";
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

}  // namespace

Win32Platform::Win32Platform(HINSTANCE instance)
    : instance_(instance),
      left_(GetSystemMetrics(SM_XVIRTUALSCREEN)),
      top_(GetSystemMetrics(SM_YVIRTUALSCREEN)),
      width_(GetSystemMetrics(SM_CXVIRTUALSCREEN)),
      height_(GetSystemMetrics(SM_CYVIRTUALSCREEN)),
      twips_per_pixel_(1440.0 / PrimaryMonitorDpi()) {}

Win32Platform::~Win32Platform() {
  if (gate_.IsOpen()) {
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

Win32Frame& Win32Platform::RequireFrame() {
  if (!frame_ || !surface_) throw PlatformError("the window has not been created");
  return *frame_;
}

Picture Win32Platform::FramePicture() const {
  return std::make_shared<const Image>(Win32Frame::View(frame_));
}

void Win32Platform::CreateForm(std::string_view caption, int timer_interval_ms,
                               WindowEvents& events) {
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
  frame_ = std::make_shared<Win32Frame>(width_, height_);
  surface_ = std::make_unique<SoftwareSurface>(Win32Frame::View(frame_), twips_per_pixel_);

  // Over every monitor, above every other window, and not in the task bar.
  SetLastError(ERROR_SUCCESS);
  window_ =
      CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, kClassName, Widen(caption).c_str(),
                      WS_POPUP, left_, top_, width_, height_, nullptr, nullptr, instance_, this);
  if (window_ == nullptr) ThrowLastError("cannot create the window");
  window_dc_ = GetDC(window_);
  // The messages of the window's creation reach no handler; from here on
  // they do.
  gate_.Open(events);
  SetLastError(ERROR_SUCCESS);
  if (SetTimer(window_, kTimerId, static_cast<UINT>(timer_interval_ms > 0 ? timer_interval_ms : 0),
               nullptr) == 0) {
    ThrowLastError("cannot start the window's timer");
  }
}

void Win32Platform::ShowForm() {
  if (!gate_.IsOpen()) return;
  // The first paint shows the whole frame; what was drawn before is part of it.
  surface_->ClearDirtyRects();
  shown_ = true;
  ShowWindow(window_, SW_SHOWNORMAL);
  // Keys go to the foreground window. Should the system refuse, the mouse
  // still ends the run.
  if (gate_.IsOpen()) SetForegroundWindow(window_);
  if (gate_.IsOpen()) UpdateWindow(window_);
  gate_.RethrowFailure();
}

void Win32Platform::UnloadForm() {
  if (!gate_.IsOpen()) return;
  gate_.Close();
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
  clipboard_copy_tried_ = true;
  clipboard_copy_.reset();
  frame_holds_print_screen_copy_ = false;
  DWORD error = ERROR_SUCCESS;
  if (!frame_->CopyFromScreen(left_, top_, &error)) return;
  frame_holds_print_screen_copy_ = true;
  // The frame is the screen copy now: no circle is shown on it.
  surface_->SetBackground(surface_->Frame());
  clipboard_copy_ = PutClipboardPicture(window_, surface_->Frame());
}

Picture Win32Platform::ClipboardPicture() {
  RequireFrame();
  // Only the copy the Print Screen event put there is the desktop; another
  // program may have emptied or replaced the clipboard since.
  if (clipboard_copy_tried_ && !clipboard_copy_) return nullptr;
  if (!DrawClipboardPicture(window_, clipboard_copy_, surface_->Frame())) return nullptr;
  frame_holds_print_screen_copy_ = false;
  return FramePicture();
}

Picture Win32Platform::CaptureScreen() {
  RequireFrame();
  // After a Print Screen event whose copy could not be read back from the
  // clipboard, the frame already holds the direct copy.
  if (std::exchange(frame_holds_print_screen_copy_, false)) return FramePicture();
  DWORD error = ERROR_SUCCESS;
  if (!frame_->CopyFromScreen(left_, top_, &error)) {
    throw PlatformError(SystemErrorText("cannot copy the screen", error));
  }
  return FramePicture();
}

void Win32Platform::SetPicture(Picture picture) {
  RequireFrame();
  frame_holds_print_screen_copy_ = false;
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
  // Whoever takes the surface may draw on the frame.
  frame_holds_print_screen_copy_ = false;
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

}  // namespace ostrel
