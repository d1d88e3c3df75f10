// wine_probe: a Windows console program that the end-to-end test and the
// benchmark run beside ostrel.scr on the Wine desktop. While it runs, Wine's
// desktop process (which holds the clipboard) stays alive, so what a run put on
// the clipboard can still be read after the run ended.
//
// It prints "ready" once it is connected to the desktop, then reads one command
// a line on standard input and answers each with one line on standard output:
//   move X Y          SetCursorPos(X, Y), also to the pointer's own position
//                     -> "ok" | "error CODE"
//   pos               -> "pos X Y" (GetCursorPos)
//   clear             empties the clipboard -> "ok" | "error CODE"
//   formats           -> "formats N..." (the clipboard's formats, by number)
//   clip FILE         reads CF_DIB and writes it to FILE as a binary PPM (P6)
//                     -> "clip W H" | "none" | "error TEXT"
//   waitshow MS       waits up to MS ms for a visible "Form1" window
//                     -> "shown ELAPSED_MS" | "timeout"
//   end X Y MS        moves the pointer to X Y while a "Form1" window shows, then
//                     waits up to MS ms for the window to go and its process to end
//                     -> "end GONE_MS EXIT_MS STATUS" | "timeout ..." | "error TEXT"
//                     (times from just before SetCursorPos)
//   quit              -> "bye", and exits 0
// Anything else -> "error unknown command".
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

double NowMs() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) * 1000.0 / frequency;
}

#if defined(__GNUC__)
void Reply(const char* format, ...) __attribute__((format(printf, 1, 2)));
#endif
void Reply(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// OpenClipboard fails while another program has it open: retry for a second.
bool OpenClipboardPatiently() {
  for (int i = 0; i < 200; ++i) {
    if (OpenClipboard(nullptr)) return true;
    Sleep(5);
  }
  return false;
}

std::uint32_t Read32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Decodes a CF_DIB of 24 or 32 bits per pixel (BI_RGB, or BI_BITFIELDS with the
// usual masks) into packed RGB rows, top row first. Every field is checked
// against the size; returns an error text, empty on success.
std::string DecodeDib(const std::uint8_t* data, std::size_t size, std::uint32_t& width,
                      std::uint32_t& height, std::vector<std::uint8_t>& rgb) {
  if (size < 40) return "CF_DIB shorter than its header";
  const std::uint32_t header = Read32(data);
  const auto raw_width = static_cast<std::int32_t>(Read32(data + 4));
  const auto raw_height = static_cast<std::int32_t>(Read32(data + 8));
  const unsigned planes = data[12] | static_cast<unsigned>(data[13]) << 8;
  const unsigned bits = data[14] | static_cast<unsigned>(data[15]) << 8;
  const std::uint32_t compression = Read32(data + 16);
  const std::uint32_t colours_used = Read32(data + 32);
  if (header < 40 || header > size) return "bad header size";
  if (raw_width <= 0 || raw_width > 65536 || raw_height == 0 || raw_height < -65536 ||
      raw_height > 65536 || planes != 1) {
    return "bad dimensions";
  }
  if (bits != 24 && bits != 32) return "unsupported bit depth " + std::to_string(bits);
  std::uint64_t offset = header + static_cast<std::uint64_t>(colours_used) * 4;
  if (compression == 3 /* BI_BITFIELDS */) {
    const std::uint8_t* masks = data + 40;
    if (header == 40) {
      offset += 12;
      if (size < 52) return "BI_BITFIELDS masks missing";
    }
    if (bits != 32 || Read32(masks) != 0xFF0000 || Read32(masks + 4) != 0xFF00 ||
        Read32(masks + 8) != 0xFF) {
      return "unsupported bit fields";
    }
  } else if (compression != 0 /* BI_RGB */) {
    return "unsupported compression " + std::to_string(compression);
  }
  width = static_cast<std::uint32_t>(raw_width);
  height = static_cast<std::uint32_t>(raw_height < 0 ? -raw_height : raw_height);
  const std::uint64_t stride = (static_cast<std::uint64_t>(width) * bits / 8 + 3) / 4 * 4;
  if (offset + stride * height > size) return "pixels run past the end of the CF_DIB";
  const std::size_t pixel_bytes = bits / 8;
  rgb.resize(static_cast<std::size_t>(width) * height * 3);
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::uint32_t source_row = raw_height < 0 ? y : height - 1 - y;
    const std::uint8_t* in = data + offset + stride * source_row;
    std::uint8_t* out = rgb.data() + static_cast<std::size_t>(y) * width * 3;
    for (std::uint32_t x = 0; x < width; ++x, in += pixel_bytes, out += 3) {
      out[0] = in[2];  // stored as B, G, R(, unused)
      out[1] = in[1];
      out[2] = in[0];
    }
  }
  return {};
}

void Clip(const char* path) {
  if (!OpenClipboardPatiently()) return Reply("error OpenClipboard %lu", GetLastError());
  HANDLE handle = GetClipboardData(CF_DIB);
  if (handle == nullptr) {
    CloseClipboard();
    return Reply("none");
  }
  const auto* data = static_cast<const std::uint8_t*>(GlobalLock(handle));
  if (data == nullptr) {
    CloseClipboard();
    return Reply("error GlobalLock %lu", GetLastError());
  }
  std::uint32_t width = 0, height = 0;
  std::vector<std::uint8_t> rgb;
  const std::string error = DecodeDib(data, GlobalSize(handle), width, height, rgb);
  GlobalUnlock(handle);
  CloseClipboard();
  if (!error.empty()) return Reply("error %s", error.c_str());
  FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return Reply("error cannot write %s", path);
  std::fprintf(file, "P6\n%u %u\n255\n", width, height);
  const bool written = std::fwrite(rgb.data(), 1, rgb.size(), file) == rgb.size();
  if (std::fclose(file) != 0 || !written) return Reply("error cannot write %s", path);
  Reply("clip %u %u", width, height);
}

void Formats() {
  if (!OpenClipboardPatiently()) return Reply("error OpenClipboard %lu", GetLastError());
  std::string list = "formats";
  for (UINT format = EnumClipboardFormats(0); format != 0; format = EnumClipboardFormats(format)) {
    list += ' ';
    list += std::to_string(format);
  }
  CloseClipboard();
  Reply("%s", list.c_str());
}

void Clear() {
  if (!OpenClipboardPatiently()) return Reply("error OpenClipboard %lu", GetLastError());
  const bool emptied = EmptyClipboard();
  const DWORD error = GetLastError();
  CloseClipboard();
  if (emptied) return Reply("ok");
  Reply("error EmptyClipboard %lu", error);
}

HWND VisibleForm1() {
  HWND window = FindWindowA(nullptr, "Form1");
  return window != nullptr && IsWindowVisible(window) ? window : nullptr;
}

void WaitShow(double timeout_ms) {
  const double start = NowMs();
  while (NowMs() - start < timeout_ms) {
    if (VisibleForm1() != nullptr) return Reply("shown %.2f", NowMs() - start);
    Sleep(1);
  }
  Reply("timeout");
}

void End(int x, int y, double timeout_ms) {
  HWND window = VisibleForm1();
  if (window == nullptr) return Reply("error no Form1 window");
  DWORD process_id = 0;
  GetWindowThreadProcessId(window, &process_id);
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
  if (process == nullptr) return Reply("error OpenProcess %lu", GetLastError());
  const double start = NowMs();
  if (!SetCursorPos(x, y)) {
    CloseHandle(process);
    return Reply("error SetCursorPos %lu", GetLastError());
  }
  double gone = -1;
  while (NowMs() - start < timeout_ms) {
    if (!IsWindow(window) || !IsWindowVisible(window)) {
      gone = NowMs() - start;
      break;
    }
    Sleep(1);
  }
  const double left = timeout_ms - (NowMs() - start);
  const DWORD waited = WaitForSingleObject(process, left > 0 ? static_cast<DWORD>(left) : 0);
  const double exited = NowMs() - start;
  DWORD status = 0;
  GetExitCodeProcess(process, &status);
  CloseHandle(process);
  if (gone < 0 || waited != WAIT_OBJECT_0) return Reply("timeout %.2f %.2f", gone, exited);
  Reply("end %.2f %.2f %lu", gone, exited, status);
}

}  // namespace

int main() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stdin), _O_BINARY);
  // Touching the desktop makes Wine start its desktop process (the clipboard's
  // keeper) now, and this program keeps it alive until it exits.
  if (GetDesktopWindow() == nullptr) {
    Reply("error no desktop");
    return 1;
  }
  Reply("ready");
  char line[4096];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    line[std::strcspn(line, "\r\n")] = '\0';
    char path[4096];
    int x = 0, y = 0;
    double ms = 0;
    if (std::sscanf(line, "move %d %d", &x, &y) == 2) {
      if (SetCursorPos(x, y)) {
        Reply("ok");
      } else {
        Reply("error %lu", GetLastError());
      }
    } else if (std::strcmp(line, "pos") == 0) {
      POINT point{};
      GetCursorPos(&point);
      Reply("pos %ld %ld", point.x, point.y);
    } else if (std::strcmp(line, "clear") == 0) {
      Clear();
    } else if (std::strcmp(line, "formats") == 0) {
      Formats();
    } else if (std::sscanf(line, "clip %4095[^\n]", path) == 1) {
      Clip(path);
    } else if (std::sscanf(line, "waitshow %lf", &ms) == 1) {
      WaitShow(ms);
    } else if (std::sscanf(line, "end %d %d %lf", &x, &y, &ms) == 3) {
      End(x, y, ms);
    } else if (std::strcmp(line, "quit") == 0) {
      Reply("bye");
      return 0;
    } else {
      Reply("error unknown command");
    }
  }
  return 0;
}
