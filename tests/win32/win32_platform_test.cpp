// The Windows backend against the real system (under Wine on a private Xvfb in
// the cross build): the window, messages to the window's handlers, failures
// out of handlers, the timer and what the window shows, and the clipboard.

#include "platform/win32/win32_platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dib.h"
#include "platform/win32/win32_clipboard.h"
#include "platform/win32/win32_input.h"

namespace ostrel {

// Failures show the event's fields, not its bytes.
void PrintTo(const MouseEvent& event, std::ostream* out) {
  *out << "{action " << static_cast<int>(event.action) << ", button " << event.button << ", shift "
       << event.shift << ", at " << event.x << "," << event.y << "}";
}

namespace {

std::string Num(float value) {
  std::string text = std::to_string(value);
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text.pop_back();
  return text;
}

// Records every event as text; `after` runs after each one (to end the run,
// fail, draw...).
class Recorder final : public WindowEvents {
 public:
  std::vector<std::string> calls;
  std::function<void(const std::string&)> after;

  void Timer1_Timer() override { Record("Timer1_Timer"); }
  void Form_Click() override { Record("Click"); }
  void Form_KeyDown(int key, int shift) override {
    Record("KeyDown " + std::to_string(key) + " " + std::to_string(shift));
  }
  void Form_MouseDown(int button, int shift, float x, float y) override {
    Record("MouseDown " + Mouse(button, shift, x, y));
  }
  void Form_MouseUp(int button, int shift, float x, float y) override {
    Record("MouseUp " + Mouse(button, shift, x, y));
  }
  void Form_MouseMove(int button, int shift, float x, float y) override {
    Record("MouseMove " + Mouse(button, shift, x, y));
  }
  void Form_SystemClose() override { Record("SystemClose"); }

 private:
  static std::string Mouse(int button, int shift, float x, float y) {
    return std::to_string(button) + " " + std::to_string(shift) + " " + Num(x) + " " + Num(y);
  }
  void Record(const std::string& call) {
    calls.push_back(call);
    if (after) after(call);
  }
};

// The key state with exactly these keys down.
KeyboardState KeysDown(std::initializer_list<int> virtual_keys) {
  KeyboardState keys{};
  for (const int key : virtual_keys) keys[static_cast<std::size_t>(key)] = 0x80;
  return keys;
}

// Every press and release of every button is the window's down or up event
// for that button (each ends the run), a move carries the buttons held, and
// Shift, Ctrl and Alt are bits 1, 2 and 4 whether the message carries them or
// only the key state does.
TEST(Win32InputTest, MouseMessagesBecomeTheWindowsEventsWithTheirArguments) {
  struct Case {
    UINT message;
    WPARAM wparam;
    KeyboardState keys;
    MouseAction action;
    int button;
    int shift;
  };
  const KeyboardState none{};
  constexpr auto kDown = MouseAction::kDown;
  constexpr auto kUp = MouseAction::kUp;
  constexpr auto kMove = MouseAction::kMove;
  const std::vector<Case> cases = {
      {WM_LBUTTONDOWN, MK_LBUTTON, none, kDown, 1, 0},
      {WM_LBUTTONUP, 0, none, kUp, 1, 0},
      {WM_RBUTTONDOWN, MK_RBUTTON, none, kDown, 2, 0},
      {WM_RBUTTONUP, 0, none, kUp, 2, 0},
      {WM_MBUTTONDOWN, MK_MBUTTON, none, kDown, 4, 0},
      {WM_MBUTTONUP, 0, none, kUp, 4, 0},
      {WM_XBUTTONDOWN, MAKEWPARAM(MK_XBUTTON1, XBUTTON1), none, kDown, 8, 0},
      {WM_XBUTTONUP, MAKEWPARAM(0, XBUTTON1), none, kUp, 8, 0},
      {WM_XBUTTONDOWN, MAKEWPARAM(MK_XBUTTON2, XBUTTON2), none, kDown, 16, 0},
      {WM_XBUTTONUP, MAKEWPARAM(0, XBUTTON2), none, kUp, 16, 0},
      {WM_MOUSEMOVE, MK_LBUTTON, none, kMove, 1, 0},
      {WM_MOUSEMOVE, MK_RBUTTON, none, kMove, 2, 0},
      {WM_MOUSEMOVE, MK_MBUTTON, none, kMove, 4, 0},
      {WM_MOUSEMOVE, MK_XBUTTON1, none, kMove, 8, 0},
      {WM_MOUSEMOVE, MK_XBUTTON2, none, kMove, 16, 0},
      {WM_MOUSEMOVE, MK_SHIFT, none, kMove, 0, 1},
      {WM_MOUSEMOVE, MK_CONTROL, none, kMove, 0, 2},
      {WM_MOUSEMOVE, 0, KeysDown({VK_MENU}), kMove, 0, 4},
      {WM_RBUTTONUP, MK_SHIFT | MK_CONTROL, KeysDown({VK_MENU}), kUp, 2, 7},
      {WM_KEYDOWN, MK_LBUTTON, none, MouseAction::kNone, 0, 0},
  };
  const LPARAM at = MAKELPARAM(-5, 7);
  for (const Case& c : cases) {
    const MouseEvent expected = c.action == MouseAction::kNone
                                    ? MouseEvent{}
                                    : MouseEvent{c.action, c.button, c.shift, -5, 7};
    EXPECT_EQ(MouseEventOf(c.message, c.wparam, at, c.keys), expected)
        << "message " << c.message << " wparam " << c.wparam;
    EXPECT_EQ(MouseActionOf(c.message), c.action) << "message " << c.message;
  }
}

TEST(Win32InputTest, KeyShiftIsShiftCtrlAltAsBits1_2_4) {
  EXPECT_EQ(KeyShift(KeysDown({})), 0);
  EXPECT_EQ(KeyShift(KeysDown({VK_SHIFT})), 1);
  EXPECT_EQ(KeyShift(KeysDown({VK_CONTROL})), 2);
  EXPECT_EQ(KeyShift(KeysDown({VK_MENU})), 4);
  EXPECT_EQ(KeyShift(KeysDown({VK_SHIFT, VK_CONTROL, VK_MENU})), 7);
}

// The virtual screen as the screen DC shows it now, 0x00RRGGBB.
Image CopyOfScreen() {
  const int left = GetSystemMetrics(SM_XVIRTUALSCREEN);
  const int top = GetSystemMetrics(SM_YVIRTUALSCREEN);
  Image copy(GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN));
  BITMAPINFO format{};
  format.bmiHeader = {
      sizeof format.bmiHeader, copy.Width(), -copy.Height(), 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, copy.Width(), copy.Height());
  HGDIOBJ previous = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, copy.Width(), copy.Height(), screen, left, top, SRCCOPY);
  SelectObject(memory, previous);
  GetDIBits(memory, bitmap, 0, static_cast<UINT>(copy.Height()), copy.Row(0), &format,
            DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  for (int y = 0; y < copy.Height(); ++y) {
    for (int x = 0; x < copy.Width(); ++x) copy.At(x, y) &= 0x00FFFFFFU;
  }
  return copy;
}

bool SameColours(const Image& a, const Image& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
  for (int y = 0; y < a.Height(); ++y) {
    for (int x = 0; x < a.Width(); ++x) {
      if (((a.At(x, y) ^ b.At(x, y)) & 0x00FFFFFFU) != 0) return false;
    }
  }
  return true;
}

// Puts data on the clipboard as another program would.
void PutOnClipboard(HWND owner, UINT format, HANDLE data) {
  ASSERT_TRUE(OpenClipboard(owner));
  EmptyClipboard();
  if (data != nullptr) SetClipboardData(format, data);
  CloseClipboard();
}

HGLOBAL GlobalCopy(const std::vector<std::uint8_t>& bytes) {
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
  std::copy(bytes.begin(), bytes.end(), static_cast<std::uint8_t*>(GlobalLock(memory)));
  GlobalUnlock(memory);
  return memory;
}

// Another program that, once armed, replaces the clipboard's content with a
// picture of its own the moment the content changes: a clipboard viewer on
// this thread, which the system tells while the program that changed the
// content is still closing the clipboard.
class ReplacingViewer {
 public:
  explicit ReplacingViewer(std::vector<std::uint8_t> dib) : dib_(std::move(dib)) {
    WNDCLASSW type{};
    type.lpfnWndProc = &ReplacingViewer::Proc;
    type.hInstance = GetModuleHandleW(nullptr);
    type.lpszClassName = L"OstrelTestViewer";
    RegisterClassW(&type);  // fails harmlessly when registered already
    window_ = CreateWindowExW(0, type.lpszClassName, L"viewer", WS_POPUP, 0, 0, 1, 1, nullptr,
                              nullptr, type.hInstance, nullptr);
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    next_ = SetClipboardViewer(window_);
  }
  ~ReplacingViewer() {
    ChangeClipboardChain(window_, next_);
    DestroyWindow(window_);
  }
  ReplacingViewer(const ReplacingViewer&) = delete;
  ReplacingViewer& operator=(const ReplacingViewer&) = delete;

  HWND Window() const { return window_; }
  void Arm() {
    armed_ = true;
    replaced_ = false;
  }
  bool Replaced() const { return replaced_; }

 private:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = reinterpret_cast<ReplacingViewer*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcW(window, message, wparam, lparam);
    if (message == WM_DRAWCLIPBOARD) {
      if (std::exchange(self->armed_, false)) {
        PutOnClipboard(window, CF_DIB, GlobalCopy(self->dib_));
        self->replaced_ = true;
      }
      if (self->next_ != nullptr) SendMessageW(self->next_, message, wparam, lparam);
      return 0;
    }
    if (message == WM_CHANGECBCHAIN) {
      if (reinterpret_cast<HWND>(wparam) == self->next_) {
        self->next_ = reinterpret_cast<HWND>(lparam);
      } else if (self->next_ != nullptr) {
        SendMessageW(self->next_, message, wparam, lparam);
      }
      return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
  }

  std::vector<std::uint8_t> dib_;
  HWND window_ = nullptr;
  HWND next_ = nullptr;
  bool armed_ = false;
  bool replaced_ = false;
};

// A one-pixel 24-bit picture, grey: its header, then one row padded to 4 bytes.
std::vector<std::uint8_t> GreyDib1x1() {
  const BITMAPINFOHEADER header{sizeof header, 1, 1, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  std::vector<std::uint8_t> dib(sizeof header + 4, 0x99);
  std::memcpy(dib.data(), &header, sizeof header);
  return dib;
}

class Win32PlatformTest : public testing::Test {
 protected:
  void Open(int timer_interval_ms = 100000) {
    platform_ = std::make_unique<Win32Platform>(GetModuleHandleW(nullptr));
    platform_->CreateForm("Form1", timer_interval_ms, events_);
  }
  // Destroying the window posts the quit message; the next test's loop must
  // not find it.
  void Close() {
    platform_.reset();
    MSG quit;
    PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
  }
  void SetUp() override { Open(); }
  void TearDown() override { Close(); }
  std::string Twips(int pixels) const {
    return Num(static_cast<float>(pixels * platform_->TwipsPerPixel()));
  }

  Recorder events_;
  std::unique_ptr<Win32Platform> platform_;
};

TEST_F(Win32PlatformTest, WindowIsAHiddenTopmostPopUpOverTheVirtualScreen) {
  HWND window = platform_->Window();
  wchar_t caption[16] = {};
  GetWindowTextW(window, caption, 16);
  EXPECT_EQ(std::wstring(caption), L"Form1");
  const auto style = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE));
  const auto ex_style = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE));
  EXPECT_NE(style & WS_POPUP, 0U);
  EXPECT_EQ(style & (WS_CAPTION | WS_THICKFRAME), 0U);
  EXPECT_NE(ex_style & WS_EX_TOPMOST, 0U);
  EXPECT_NE(ex_style & WS_EX_TOOLWINDOW, 0U);  // not in the task bar
  RECT area{};
  GetWindowRect(window, &area);
  EXPECT_EQ(area.left, GetSystemMetrics(SM_XVIRTUALSCREEN));
  EXPECT_EQ(area.top, GetSystemMetrics(SM_YVIRTUALSCREEN));
  EXPECT_EQ(area.right - area.left, GetSystemMetrics(SM_CXVIRTUALSCREEN));
  EXPECT_EQ(area.bottom - area.top, GetSystemMetrics(SM_CYVIRTUALSCREEN));
  EXPECT_EQ(Num(platform_->ScreenWidthTwips()), Twips(area.right - area.left));
  EXPECT_FALSE(IsWindowVisible(window));
  platform_->ShowForm();
  EXPECT_TRUE(IsWindowVisible(window));
  const int hidden = platform_->ShowCursor(false);
  EXPECT_EQ(platform_->ShowCursor(true), hidden + 1);
}

TEST_F(Win32PlatformTest, MessagesReachTheHandlers) {
  struct Case {
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
    std::vector<std::string> calls;
    LRESULT result;
  };
  const LPARAM at_10_20 = MAKELPARAM(10, 20);
  const std::string xy = Twips(10) + " " + Twips(20);
  const std::vector<Case> cases = {
      {WM_KEYDOWN, 'A', 0, {"KeyDown 65 0"}, 0},
      {WM_SYSKEYDOWN, VK_MENU, 0, {"KeyDown 18 0"}, 0},
      {WM_LBUTTONDOWN, MK_LBUTTON, at_10_20, {"MouseDown 1 0 " + xy}, 0},
      {WM_RBUTTONUP, MK_SHIFT, at_10_20, {"MouseUp 2 1 " + xy}, 0},
      {WM_MBUTTONDOWN, MK_CONTROL | MK_MBUTTON, at_10_20, {"MouseDown 4 2 " + xy}, 0},
      {WM_XBUTTONDOWN, MAKEWPARAM(0, XBUTTON2), at_10_20, {"MouseDown 16 0 " + xy}, TRUE},
      {WM_XBUTTONUP, MAKEWPARAM(0, XBUTTON1), at_10_20, {"MouseUp 8 0 " + xy}, TRUE},
      // Pixels left of and above the window's corner are negative.
      {WM_MOUSEMOVE,
       MK_LBUTTON | MK_XBUTTON1,
       MAKELPARAM(-5, -7),
       {"MouseMove 9 0 " + Twips(-5) + " " + Twips(-7)},
       0},
      {WM_CLOSE, 0, 0, {"SystemClose"}, 0},
      {WM_ENDSESSION, TRUE, 0, {"SystemClose"}, 0},
      {WM_ENDSESSION, FALSE, 0, {}, 0},
      {WM_ERASEBKGND, 0, 0, {}, 1},
      {WM_SYSCOMMAND, SC_SCREENSAVE, 0, {}, 0},
      {WM_TIMER, 77, 0, {}, 0},  // not the window's timer
  };
  for (const Case& c : cases) {
    events_.calls.clear();
    const LRESULT result = SendMessageW(platform_->Window(), c.message, c.wparam, c.lparam);
    EXPECT_EQ(events_.calls, c.calls) << "message " << c.message;
    EXPECT_EQ(result, c.result) << "message " << c.message;
  }
  EXPECT_TRUE(platform_->FormLoaded());
}

TEST_F(Win32PlatformTest, AFailingHandlerFailsTheLoopNotTheSystem) {
  events_.after = [](const std::string& call) {
    if (call.rfind("KeyDown", 0) == 0) throw std::runtime_error("handler failed");
  };
  for (const bool in_loop : {false, true}) {
    PostMessageW(platform_->Window(), WM_KEYDOWN, 'A', 0);
    try {
      in_loop ? platform_->RunMessageLoop() : platform_->DoEvents();
      ADD_FAILURE() << "no failure came out of the " << (in_loop ? "loop" : "yield");
    } catch (const std::runtime_error& failure) {
      EXPECT_STREQ(failure.what(), "handler failed");
    }
  }
  // Once reported, the failure is gone: the next event is delivered.
  events_.after = nullptr;
  events_.calls.clear();
  PostMessageW(platform_->Window(), WM_LBUTTONDOWN, 0, 0);
  platform_->DoEvents();
  EXPECT_EQ(events_.calls, (std::vector<std::string>{"MouseDown 1 0 0 0"}));
}

TEST_F(Win32PlatformTest, ClosingTheWindowEndsTheLoopAndLetsAnErrorReportWait) {
  HWND window = platform_->Window();
  events_.after = [this](const std::string&) { platform_->UnloadForm(); };
  PostMessageW(window, WM_KEYDOWN, 'A', 0);
  platform_->RunMessageLoop();
  EXPECT_FALSE(platform_->FormLoaded());
  EXPECT_FALSE(IsWindow(window));
  MSG quit;
  EXPECT_FALSE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));

  // The error path closes the window outside the loop, which leaves the quit
  // message queued; the report must still wait for the user.
  PostQuitMessage(0);
  // The box must still be up a moment after it appeared, waiting for an answer.
  std::atomic<bool> box_waited{false};
  std::thread answer([&] {
    for (int i = 0; i < 300; ++i) {
      if (HWND box = FindWindowW(L"#32770", L"ostrel")) {
        Sleep(200);
        box_waited = IsWindow(box) != FALSE;
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        return;
      }
      Sleep(10);
    }
  });
  platform_->ReportError("a test failure");
  answer.join();
  EXPECT_TRUE(box_waited);
}

TEST_F(Win32PlatformTest, TicksDrawAndTheWindowShowsTheFrame) {
  Close();
  Open(1);
  const Picture frame = platform_->CaptureScreen();  // a view of the frame itself
  const Image desktop = frame->Clone();
  platform_->SetPicture(frame);
  // Five ticks draw a circle each; the twentieth, well after the last drawing,
  // finds the screen showing the frame and ends the run.
  int ticks = 0;
  bool screen_shows_frame = false;
  events_.after = [&](const std::string& call) {
    if (call != "Timer1_Timer") return;
    if (++ticks <= 5) {
      DrawingSurface& surface = platform_->Surface();
      surface.SetDrawModeXorPen();
      surface.SetPenWidth(3);
      surface.Circle(static_cast<float>(1500 * ticks + 3000), 3000.0F, 1500.0F, 0xFFFFFF);
    } else if (ticks == 20) {
      screen_shows_frame = SameColours(CopyOfScreen(), *frame);
      platform_->UnloadForm();
    }
  };
  const DWORD start = GetTickCount();
  platform_->ShowForm();
  platform_->RunMessageLoop();
  EXPECT_EQ(ticks, 20);
  EXPECT_LT(GetTickCount() - start, 2000U);
  EXPECT_FALSE(SameColours(*frame, desktop));
  EXPECT_TRUE(screen_shows_frame);
}

// The yield processes what is pending once. A timer message is made each
// time the queue is looked at after the timer's interval, so a yield that
// went on dispatching them would run tick after tick for as long as they
// come; every tick before the start-up's reset writes a circle at the
// corner that the first ticks after it draw once more, and it stays.
TEST_F(Win32PlatformTest, TheYieldRunsOneTickWhateverIsDue) {
  Close();
  Open(1);
  int ticks = 0;
  events_.after = [&](const std::string& call) {
    if (call != "Timer1_Timer") return;
    Sleep(20);  // a tick slower than the timer: another is due when it ends
    if (++ticks == 5) platform_->UnloadForm();  // ends a yield that never would
  };
  Sleep(50);
  platform_->DoEvents();
  EXPECT_EQ(ticks, 1);
}

TEST_F(Win32PlatformTest, PrintScreenPutsTheScreenOnTheClipboardAndItReadsBack) {
  const Image screen = platform_->CaptureScreen()->Clone();
  const DWORD before = GetClipboardSequenceNumber();
  platform_->KeybdEvent(kVirtualKeySnapshot, kSnapshotScanCode, 2 /* key up */, 0);
  platform_->KeybdEvent(65, 0, 0, 0);
  EXPECT_EQ(GetClipboardSequenceNumber(), before) << "only the Print Screen key-down copies";
  platform_->KeybdEvent(kVirtualKeySnapshot, kSnapshotScanCode, 0, 0);
  ASSERT_TRUE(OpenClipboard(nullptr));
  HANDLE data = GetClipboardData(CF_DIB);
  ASSERT_NE(data, nullptr);
  const auto* locked = static_cast<const std::uint8_t*>(GlobalLock(data));
  const std::vector<std::uint8_t> bytes(locked, locked + GlobalSize(data));
  GlobalUnlock(data);
  CloseClipboard();
  const std::optional<Image> dib = DecodeDib(bytes.data(), bytes.size(), PixelFormat{});
  ASSERT_TRUE(dib.has_value());
  EXPECT_TRUE(SameColours(*dib, screen));
  const Picture picture = platform_->ClipboardPicture();
  ASSERT_NE(picture, nullptr);
  EXPECT_TRUE(SameColours(*picture, screen));
}

TEST_F(Win32PlatformTest, ClipboardPictureReadsOtherProgramsPicturesAndRefusesBadOnes) {
  HWND owner = platform_->Window();
  // A 2 x 1 picture at the frame's top-left corner; the rest becomes black.
  const std::vector<std::uint8_t> dib24 = {
      40, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0, 0,    0,    0,    0,    0,    0,    0, 0,
      0,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0, 0x30, 0x20, 0x10, 0x03, 0x02, 0x01, 0, 0};
  PutOnClipboard(owner, CF_DIB, GlobalCopy(dib24));
  const Picture picture = platform_->ClipboardPicture();
  ASSERT_NE(picture, nullptr);
  EXPECT_EQ(picture->At(0, 0) & 0xFFFFFFU, 0x102030U);
  EXPECT_EQ(picture->At(1, 0) & 0xFFFFFFU, 0x010203U);
  EXPECT_EQ(picture->At(2, 0), 0U);
  EXPECT_EQ(picture->At(0, 1), 0U);

  // Before any Print Screen event the clipboard is read as it is. A malformed
  // picture or none: no picture, and the frame untouched.
  const Picture frame = platform_->CaptureScreen();  // a view of the frame itself
  std::vector<std::uint8_t> truncated = dib24;
  truncated.resize(44);
  for (const auto& [what, data] : std::vector<std::pair<const char*, HANDLE>>{
           {"truncated CF_DIB", GlobalCopy(truncated)}, {"empty clipboard", nullptr}}) {
    platform_->SetPicture(nullptr);  // black
    PutOnClipboard(owner, CF_DIB, data);
    EXPECT_EQ(platform_->ClipboardPicture(), nullptr) << what;
    EXPECT_TRUE(SamePixels(*frame, Image(frame->Width(), frame->Height()))) << what;
  }

  // Another program holds the clipboard while the Print Screen event tries to
  // put the screen there: the older picture left on it is not the desktop.
  std::atomic<int> holding{0};  // 1: the other thread has the clipboard; 2: it could not
  std::thread holder([&] {
    const bool open = OpenClipboard(nullptr) != FALSE;
    holding = open ? 1 : 2;
    Sleep(400);
    if (open) CloseClipboard();
  });
  while (holding == 0) Sleep(1);
  platform_->KeybdEvent(kVirtualKeySnapshot, kSnapshotScanCode, 0, 0);
  holder.join();
  ASSERT_EQ(holding, 1);
  EXPECT_EQ(platform_->ClipboardPicture(), nullptr) << "an older picture was taken for the desktop";
  platform_->KeybdEvent(kVirtualKeySnapshot, kSnapshotScanCode, 0, 0);
  EXPECT_NE(platform_->ClipboardPicture(), nullptr);
}

// Another program replaces the clipboard after the Print Screen event put the
// screen there (as the owner, or under our window's name): its picture is not
// the desktop, and the frame keeps the direct copy of the screen.
TEST_F(Win32PlatformTest, APictureReplacingTheScreenCopyIsNotTakenForTheDesktop) {
  const std::vector<std::uint8_t> dib_1x1 = GreyDib1x1();
  HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(other, nullptr);
  for (HWND owner : {other, platform_->Window()}) {
    const Image screen = CopyOfScreen();
    platform_->KeybdEvent(kVirtualKeySnapshot, kSnapshotScanCode, 0, 0);
    PutOnClipboard(owner, CF_DIB, GlobalCopy(dib_1x1));
    EXPECT_EQ(platform_->ClipboardPicture(), nullptr) << (owner == other ? "other owner" : "ours");
    EXPECT_TRUE(SameColours(*platform_->CaptureScreen(), screen));
  }
  DestroyWindow(other);
}

// Another program replaces the screen copy the moment it lands, while the put
// is still closing the clipboard: the put reports no content of ours, so no
// picture is taken for the desktop. What marks our content is its owner and
// its sequence number, both: the other's content, expected with our window for
// its owner or at another sequence number, is not read.
TEST_F(Win32PlatformTest, AScreenCopyReplacedAsItLandsIsNotTakenForTheDesktop) {
  ReplacingViewer other(GreyDib1x1());
  ASSERT_NE(other.Window(), nullptr);
  const Image screen = CopyOfScreen();
  other.Arm();
  platform_->KeybdEvent(kVirtualKeySnapshot, kSnapshotScanCode, 0, 0);
  ASSERT_TRUE(other.Replaced()) << "the viewer was not told while the put closed the clipboard";
  EXPECT_EQ(platform_->ClipboardPicture(), nullptr);
  EXPECT_TRUE(SameColours(*platform_->CaptureScreen(), screen));

  other.Arm();
  EXPECT_FALSE(PutClipboardPicture(platform_->Window(), screen).has_value());
  ASSERT_TRUE(other.Replaced());
  const DWORD sequence = GetClipboardSequenceNumber();
  struct Case {
    const char* what;
    ClipboardContent expected;
    bool read;
  };
  for (const Case& c :
       {Case{"the other's content", {other.Window(), sequence}, true},
        Case{"with our window for its owner", {platform_->Window(), sequence}, false},
        Case{"at another sequence number", {other.Window(), sequence - 1}, false}}) {
    Image target(2, 1);
    EXPECT_EQ(DrawClipboardPicture(platform_->Window(), c.expected, target), c.read) << c.what;
    EXPECT_EQ(target.At(0, 0) & 0xFFFFFFU, c.read ? 0x999999U : 0U) << c.what;
  }
}

}  // namespace
}  // namespace ostrel

// Without a display (under Wine: no DISPLAY where the wineserver started) no
// window can be made: the whole program reports ctest's skip status.
int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  ostrel::Recorder events;
  ostrel::Win32Platform probe(GetModuleHandleW(nullptr));
  try {
    probe.CreateForm("Form1", 100000, events);
    probe.UnloadForm();
    MSG quit;
    PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
  } catch (const ostrel::PlatformError& failure) {
    std::printf("SKIP: no window can be made here: %s\n", failure.what());
    return 77;
  }
  return RUN_ALL_TESTS();
}
