#include "platform/wayland/kwin_screen_copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "platform/dbus/dbus_connection.h"
#include "platform/platform_error.h"
#include "platform/posix/monotonic_clock.h"
#include "platform/wayland/bus_wait.h"
#include "platform/wayland/desktop_screenshots.h"

namespace ostrel {
namespace {

constexpr char kService[] = "org.kde.KWin";
constexpr char kPath[] = "/org/kde/KWin/ScreenShot2";
constexpr char kInterface[] = "org.kde.KWin.ScreenShot2";
constexpr char kNotAuthorized[] = "org.kde.KWin.ScreenShot2.Error.NoAuthorized";

// What KWin says of the picture it writes into the pipe.
struct RawPicture {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t stride = 0;
  std::uint32_t format = 0;
  std::string type;
};

// Reads the reply's a{sv}, skipping what is not needed; false when it is not
// one.
bool ReadPictureFields(sd_bus_message* reply, RawPicture& picture) {
  if (sd_bus_message_enter_container(reply, 'a', "{sv}") < 0) return false;
  int status = 0;
  while ((status = sd_bus_message_enter_container(reply, 'e', "sv")) > 0) {
    const char* key = nullptr;
    char kind = 0;
    const char* contents = nullptr;
    if (sd_bus_message_read(reply, "s", &key) < 0 ||
        sd_bus_message_peek_type(reply, &kind, &contents) < 0 ||
        sd_bus_message_enter_container(reply, 'v', contents) < 0) {
      return false;
    }
    std::uint32_t* number = std::strcmp(key, "width") == 0    ? &picture.width
                            : std::strcmp(key, "height") == 0 ? &picture.height
                            : std::strcmp(key, "stride") == 0 ? &picture.stride
                            : std::strcmp(key, "format") == 0 ? &picture.format
                                                              : nullptr;
    if (number != nullptr && std::strcmp(contents, "u") == 0) {
      status = sd_bus_message_read(reply, "u", number);
    } else if (std::strcmp(key, "type") == 0 && std::strcmp(contents, "s") == 0) {
      const char* type = nullptr;
      status = sd_bus_message_read(reply, "s", &type);
      if (status >= 0) picture.type = type;
    } else {
      status = sd_bus_message_skip(reply, contents);
    }
    if (status < 0 || sd_bus_message_exit_container(reply) < 0 ||
        sd_bus_message_exit_container(reply) < 0) {
      return false;
    }
  }
  return status >= 0 && sd_bus_message_exit_container(reply) >= 0;
}

// One output's copy in progress: the call, and the pipe KWin writes the
// picture into, converted into the frame row by row as it comes.
struct OutputCopy {
  const ScreenCopyTarget* target = nullptr;
  Image* frame = nullptr;
  int read_fd = -1;
  dbus::Slot call;
  bool answered = false;
  bool pipe_closed = false;
  std::string error_name;
  std::string error_text;
  RawPicture picture;
  RawScreenshotRows rows;
  bool readable = false;  // the reply describes a picture the rows can take
  // What came through the pipe before the reply said what it is.
  std::vector<std::uint8_t> early;

  OutputCopy() = default;
  OutputCopy(const OutputCopy&) = delete;
  OutputCopy& operator=(const OutputCopy&) = delete;
  ~OutputCopy() {
    if (read_fd >= 0) close(read_fd);
  }

  void OnReply(const dbus::Reply& reply) {
    answered = true;
    if (!reply.ok()) {
      error_name = reply.error_name;
      error_text = reply.error_message;
      return;
    }
    if (!ReadPictureFields(reply.message, picture)) {
      error_name = "reply";
      error_text = "KWin's answer is not a picture's description";
      return;
    }
    readable = picture.type == "raw" && rows.Begin(picture.format, picture.width, picture.height,
                                                   picture.stride, *frame, target->place);
    if (readable) rows.Add(early.data(), early.size());
    early = {};
  }

  void ReadPipe() {
    std::uint8_t chunk[1 << 16];
    for (;;) {
      const ssize_t n = read(read_fd, chunk, sizeof chunk);
      if (n > 0) {
        const auto size = static_cast<std::size_t>(n);
        if (readable) {
          rows.Add(chunk, size);
        } else if (!answered) {
          early.insert(early.end(), chunk, chunk + size);
        }
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) pipe_closed = true;
      return;
    }
  }

  bool Finished() const { return answered && (!error_name.empty() || pipe_closed); }
};

class KWinScreenCopier final : public ScreenCopier {
 public:
  KWinScreenCopier(dbus::Connection& bus, wl_display* display) : bus_(bus), display_(display) {}

  ScreenCopyOutcome Copy(const ScreenCopyDestination& frame,
                         std::span<const ScreenCopyTarget> targets,
                         std::int64_t deadline_ns) override {
    std::vector<OutputCopy> copies(targets.size());
    for (std::size_t i = 0; i < targets.size(); ++i) {
      copies[i].frame = frame.pixels;
      Start(copies[i], targets[i], deadline_ns);
    }
    std::vector<pollfd> pipes;
    for (OutputCopy& copy : copies) {
      if (copy.read_fd >= 0) pipes.push_back({copy.read_fd, POLLIN, 0});
    }
    const WaitEnd end = WaitForBus(
        bus_, display_,
        [&copies] {
          for (const OutputCopy& copy : copies) {
            if (!copy.Finished()) return false;
          }
          return true;
        },
        deadline_ns, pipes,
        [&copies](const pollfd& ready) {
          for (OutputCopy& copy : copies) {
            if (copy.read_fd == ready.fd && !copy.pipe_closed) copy.ReadPipe();
          }
        });
    if (end == WaitEnd::kEndSignal) return ScreenCopyOutcome::Interrupted();
    // The first refusal says it for every output: KWin allows this program
    // or not.
    for (const OutputCopy& copy : copies) {
      if (copy.error_name == kNotAuthorized) {
        return ScreenCopyOutcome::NotHere(
            "KWin does not let this program copy the screen (org.kde.KWin.ScreenShot2 "
            "is allowed to the installed /usr/bin/ostrel, after logging in again)");
      }
      if (!copy.error_name.empty() && copy.error_name.starts_with("org.freedesktop.DBus.Error.")) {
        return ScreenCopyOutcome::NotHere("no KWin screenshot service (" + copy.error_text + ")");
      }
    }
    std::string failures;
    bool any = false;
    for (std::size_t i = 0; i < copies.size(); ++i) {
      const std::string failure = Place(copies[i]);
      any = any || failure.empty();
      if (!failure.empty()) {
        if (!failures.empty()) failures += "; ";
        failures += "output " + std::to_string(i + 1) + ": " + failure;
      }
    }
    if (!any) return ScreenCopyOutcome::NotHere("KWin's screenshots failed: " + failures);
    return ScreenCopyOutcome::Copied(failures);
  }

 private:
  void Start(OutputCopy& copy, const ScreenCopyTarget& target, std::int64_t deadline_ns) {
    copy.target = &target;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
      copy.answered = true;
      copy.error_name = "pipe";
      copy.error_text = std::strerror(errno);
      return;
    }
    copy.read_fd = fds[0];
    dbus::Message call = bus_.NewMethodCall(kService, kPath, kInterface, "CaptureScreen");
    int status = sd_bus_message_append(call.get(), "s", target.name.c_str());
    if (status >= 0) {
      status = sd_bus_message_append(call.get(), "a{sv}", 2, "native-resolution", "b", 1,
                                     "include-cursor", "b", 0);
    }
    // The message keeps a copy of the write end until it is sent and freed:
    // then KWin's copy is the last, and its end is the picture's end.
    if (status >= 0) status = sd_bus_message_append(call.get(), "h", fds[1]);
    close(fds[1]);
    if (status < 0)
      throw PlatformError("cannot ask KWin for a screenshot: " + dbus::ErrnoText(status));
    const auto timeout =
        std::chrono::nanoseconds(std::max<std::int64_t>(deadline_ns - MonotonicNs(), 1));
    copy.call =
        bus_.CallAsync(call, timeout, [&copy](const dbus::Reply& reply) { copy.OnReply(reply); });
  }

  static std::string Place(OutputCopy& copy) {
    if (!copy.answered) return "no answer in time";
    if (!copy.error_name.empty()) return copy.error_text.empty() ? copy.error_name : copy.error_text;
    if (!copy.readable) {
      return "a picture of type '" + copy.picture.type + "', format " +
             std::to_string(copy.picture.format);
    }
    if (!copy.rows.Complete()) return "the picture did not come whole in time";
    copy.rows.Finish();
    return {};
  }

  dbus::Connection& bus_;
  wl_display* display_;
};

}  // namespace

std::unique_ptr<ScreenCopier> MakeKWinScreenCopier(dbus::Connection& bus, wl_display* display) {
  return std::make_unique<KWinScreenCopier>(bus, display);
}

}  // namespace ostrel
