#include "platform/win32/win32_clipboard.h"

#include <span>

#include "platform/dib.h"
#include "platform/platform.h"
#include "platform/win32/win32_text.h"

namespace ostrel {
namespace {

// Another program may hold the clipboard for a moment (clipboard managers read
// every change); keep asking for this long.
constexpr int kOpenAttempts = 20;
constexpr DWORD kOpenRetryMs = 5;

// The clipboard, open for as long as this lives.
class OpenClipboardScope {
 public:
  explicit OpenClipboardScope(HWND owner) {
    for (int attempt = 0; attempt < kOpenAttempts && !open_; ++attempt) {
      if (attempt > 0) Sleep(kOpenRetryMs);
      open_ = OpenClipboard(owner) != FALSE;
    }
  }
  ~OpenClipboardScope() {
    if (open_) CloseClipboard();
  }
  OpenClipboardScope(const OpenClipboardScope&) = delete;
  OpenClipboardScope& operator=(const OpenClipboardScope&) = delete;

  bool Open() const { return open_; }

 private:
  bool open_ = false;
};

// A global memory block, locked for as long as this lives.
class GlobalLockScope {
 public:
  explicit GlobalLockScope(HGLOBAL memory) : memory_(memory), data_(GlobalLock(memory)) {}
  ~GlobalLockScope() {
    if (data_ != nullptr) GlobalUnlock(memory_);
  }
  GlobalLockScope(const GlobalLockScope&) = delete;
  GlobalLockScope& operator=(const GlobalLockScope&) = delete;

  std::span<std::uint8_t> Bytes() const {
    if (data_ == nullptr) return {};
    return {static_cast<std::uint8_t*>(data_), GlobalSize(memory_)};
  }

 private:
  HGLOBAL memory_;
  void* data_;
};

bool DrawPackedDib(HANDLE handle, Image& target) {
  if (handle == nullptr) return false;
  const GlobalLockScope lock(handle);
  const std::span<std::uint8_t> bytes = lock.Bytes();
  return DrawDib(bytes.data(), bytes.size(), PixelFormat{}, target, 0);
}

bool DrawBitmap(HBITMAP bitmap, Image& target) {
  BITMAP info{};
  if (bitmap == nullptr || GetObjectW(bitmap, sizeof info, &info) != sizeof info) return false;
  if (info.bmWidth <= 0 || info.bmHeight <= 0 ||
      static_cast<std::uint64_t>(info.bmWidth) * static_cast<std::uint64_t>(info.bmHeight) >
          kMaxDibPixels) {
    return false;
  }
  // The system converts the bitmap to 32-bit rows, top-down.
  Image pixels(info.bmWidth, info.bmHeight);
  BITMAPINFO format{};
  format.bmiHeader.biSize = sizeof format.bmiHeader;
  format.bmiHeader.biWidth = info.bmWidth;
  format.bmiHeader.biHeight = -info.bmHeight;
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 32;
  format.bmiHeader.biCompression = BI_RGB;
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) return false;
  const int rows = GetDIBits(screen, bitmap, 0, static_cast<UINT>(info.bmHeight), pixels.Row(0),
                             &format, DIB_RGB_COLORS);
  ReleaseDC(nullptr, screen);
  if (rows != info.bmHeight) return false;
  target.CopyFrom(pixels, 0);
  for (int y = 0; y < target.Height(); ++y) {
    std::uint32_t* row = target.Row(y);
    for (int x = 0; x < target.Width(); ++x) row[x] &= 0x00FFFFFFU;
  }
  return true;
}

}  // namespace

std::optional<ClipboardContent> PutClipboardPicture(HWND owner, const Image& image) {
  const std::size_t size = EncodedDibSize(image.Width(), image.Height());
  SetLastError(ERROR_SUCCESS);
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, size);
  if (memory == nullptr) ThrowLastError("no memory for the clipboard's picture");
  bool written = false;
  {
    const GlobalLockScope lock(memory);
    if (lock.Bytes().size() >= size) {
      EncodeDibInto(image, PixelFormat{}, lock.Bytes().data(), size);
      written = true;
    }
  }
  if (!written) {
    GlobalFree(memory);
    throw PlatformError("cannot reach the memory for the clipboard's picture");
  }
  {
    const OpenClipboardScope clipboard(owner);
    // Once SetClipboardData succeeds the memory belongs to the system.
    if (!clipboard.Open() || !EmptyClipboard() || SetClipboardData(CF_DIB, memory) == nullptr) {
      GlobalFree(memory);
      return std::nullopt;
    }
  }
  // Read once the clipboard is closed, for closing it may count as a change
  // (the system adding the formats it makes from CF_DIB). Should another
  // program have replaced the content in between, the owner is no longer ours.
  const ClipboardContent content{owner, GetClipboardSequenceNumber()};
  if (GetClipboardOwner() != owner) return std::nullopt;
  return content;
}

bool DrawClipboardPicture(HWND owner, const std::optional<ClipboardContent>& expected,
                          Image& target) {
  const OpenClipboardScope clipboard(owner);
  if (!clipboard.Open()) return false;
  if (expected && (GetClipboardOwner() != expected->owner ||
                   GetClipboardSequenceNumber() != expected->sequence)) {
    return false;
  }
  if (IsClipboardFormatAvailable(CF_DIB)) return DrawPackedDib(GetClipboardData(CF_DIB), target);
  if (IsClipboardFormatAvailable(CF_DIBV5)) {
    return DrawPackedDib(GetClipboardData(CF_DIBV5), target);
  }
  if (IsClipboardFormatAvailable(CF_BITMAP)) {
    return DrawBitmap(static_cast<HBITMAP>(GetClipboardData(CF_BITMAP)), target);
  }
  return false;
}

}  // namespace ostrel
