#include "platform/wayland/screen_copy/kwin_screen_copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/dbus/dbus_connection.h"
#include "platform/platform_error.h"
#include "platform/wayland/screen_copy/desktop_bus.h"
#include "platform/wayland/screen_copy/kwin_picture.h"

namespace ostrel {
namespace {

constexpr char kService[] = "org.kde.KWin";
constexpr char kPath[] = "/org/kde/KWin/ScreenShot2";
constexpr char kInterface[] = "org.kde.KWin.ScreenShot2";
constexpr char kNotAuthorized[] = "org.kde.KWin.ScreenShot2.Error.NoAuthorized";

// The bus's answers that mean no KWin screenshot service is there to ask.
constexpr std::array<std::string_view, 4> kAbsent = {
    "org.freedesktop.DBus.Error.ServiceUnknown", "org.freedesktop.DBus.Error.UnknownObject",
    "org.freedesktop.DBus.Error.UnknownInterface", "org.freedesktop.DBus.Error.UnknownMethod"};

// The pipe's size asked for a picture of `place`: the system rounds it up to
// a power of two pages and refuses more than its limit.
int PipeSizeFor(const Rect& place) {
  const long long bytes = static_cast<long long>(place.width) * place.height * 4;
  return static_cast<int>(std::clamp<long long>(bytes, 1 << 16, 1 << 20));
}

// What KWin says of the picture it writes into the pipe.
struct RawPicture {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t stride = 0;
  std::uint32_t format = 0;
  std::string type;
};

// One output's copy in progress: the call, and the pipe KWin writes the
// picture into, converted into the frame row by row as it comes.
struct OutputCopy {
  const ScreenCopyTarget* target = nullptr;
  Image* frame = nullptr;
  int read_fd = -1;
  Waiter::Registration pipe;
  dbus::Slot call;
  bool answered = false;
  bool pipe_closed = false;
  std::string error_name;  // KWin's or the bus's, when the call failed
  std::string failure;     // why this output's copy failed
  RawPicture picture;
  RawRows rows;
  bool readable = false;  // the reply describes a picture the rows can take
  // What came through the pipe before the reply said what it is.
  std::vector<std::uint8_t> early;

  OutputCopy() = default;
  OutputCopy(const OutputCopy&) = delete;
  OutputCopy& operator=(const OutputCopy&) = delete;
  ~OutputCopy() {
    pipe.Reset();
    if (read_fd >= 0) close(read_fd);
  }

  void OnReply(const dbus::Reply& reply) {
    answered = true;
    if (!reply.ok()) {
      error_name = reply.error_name;
      failure = reply.error_message.empty() ? reply.error_name : reply.error_message;
      return;
    }
    const bool described = dbus::ReadDictionary(reply.message, [this](dbus::DictionaryEntry& e) {
      if (e.key == "width") e.Read(&picture.width);
      if (e.key == "height") e.Read(&picture.height);
      if (e.key == "stride") e.Read(&picture.stride);
      if (e.key == "format") e.Read(&picture.format);
      if (e.key == "type") e.Read(&picture.type);
    });
    if (!described) {
      failure = "KWin's answer is not a picture's description";
      return;
    }
    const std::optional<ByteOrder> order = ByteOrderOfQtFormat(picture.format);
    readable = picture.type == "raw" && order &&
               rows.Begin(*order, picture.width, picture.height, picture.stride, *frame,
                          target->place);
    if (!readable) {
      failure = "a picture of type '" + picture.type + "', format " +
                std::to_string(picture.format);
      return;
    }
    rows.Add(early.data(), early.size());
    early = {};
    LeaveTheWaitOnceWhole();
  }

  // The whole picture is in: the pipe has nothing more to say, and its
  // end (KWin closing it a moment later) would only wake the wait again
  // while the other outputs' pictures are still coming.
  void LeaveTheWaitOnceWhole() {
    if (readable && rows.Complete()) pipe.Reset();
  }

  void ReadPipe() {
    std::uint8_t chunk[1 << 16];
    for (;;) {
      const ssize_t n = read(read_fd, chunk, sizeof chunk);
      if (n > 0) {
        const auto size = static_cast<std::size_t>(n);
        if (readable) {
          rows.Add(chunk, size);
          if (rows.Complete()) return LeaveTheWaitOnceWhole();
        } else if (!answered) {
          early.insert(early.end(), chunk, chunk + size);
        }
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      // Its end (or a broken pipe): nothing more will come.
      pipe_closed = true;
      pipe.Reset();
      return;
    }
  }

  // Done: refused, a picture it cannot read, or the whole picture here (KWin
  // need not close the pipe for that), or the pipe at its end.
  bool Finished() const {
    return answered && (!failure.empty() || rows.Complete() || pipe_closed);
  }

  // Why the copy failed, or nothing when the picture is in the frame.
  std::string Place() {
    if (!answered) return "no answer in time";
    if (!failure.empty()) return failure;
    if (!rows.Complete()) return "the picture did not come whole";
    rows.Finish();
    return {};
  }
};

class KWinScreenCopier final : public ScreenCopier {
 public:
  KWinScreenCopier(DesktopBus& bus, Waiter& waiter) : bus_(bus), waiter_(waiter) {}

  std::string_view Name() const override { return "KWin's screenshot"; }

  ScreenCopyOutcome Copy(const ScreenCopyDestination& frame,
                         std::span<const ScreenCopyTarget> targets,
                         TimePoint deadline) override {
    dbus::Connection* bus = nullptr;
    try {
      bus = &bus_.Get();
    } catch (const PlatformError& failure) {
      return ScreenCopyOutcome::NotHere(std::string("no session bus for KWin's screenshots (") +
                                        failure.what() + ")");
    }
    std::vector<OutputCopy> copies(targets.size());
    for (std::size_t i = 0; i < targets.size(); ++i) {
      copies[i].frame = frame.pixels;
      Start(*bus, copies[i], targets[i], deadline);
    }
    const Waiter::End end = waiter_.WaitUntil(
        [&copies] {
          return std::all_of(copies.begin(), copies.end(),
                             [](const OutputCopy& copy) { return copy.Finished(); });
        },
        deadline);
    if (end == Waiter::End::kInterrupted) return ScreenCopyOutcome::Interrupted();
    // The first refusal says it for every output: KWin allows this program
    // or not, and is there or not.
    for (const OutputCopy& copy : copies) {
      if (copy.error_name == kNotAuthorized) {
        return ScreenCopyOutcome::NotHere(
            "KWin does not let this program copy the screen (org.kde.KWin.ScreenShot2 "
            "is allowed to the installed /usr/bin/ostrel, after logging in again)");
      }
      if (std::find(kAbsent.begin(), kAbsent.end(), copy.error_name) != kAbsent.end()) {
        return ScreenCopyOutcome::NotHere("no KWin screenshot service (" + copy.failure + ")");
      }
    }
    std::vector<ScreenCopyOutcome::FailedOutput> failed;
    for (std::size_t i = 0; i < copies.size(); ++i) {
      if (std::string why = copies[i].Place(); !why.empty()) failed.push_back({i, std::move(why)});
    }
    return ScreenCopyOutcome::OfOutputs(std::move(failed), targets.size());
  }

 private:
  void Start(dbus::Connection& bus, OutputCopy& copy, const ScreenCopyTarget& target,
             TimePoint deadline) {
    copy.target = &target;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
      copy.answered = true;
      copy.failure = std::string("cannot make a pipe: ") + std::strerror(errno);
      return;
    }
    copy.read_fd = fds[0];
    // Room for the whole picture where the system allows it (1 MiB for
    // anyone by default): KWin writes it in fewer, larger pieces, and the
    // wait wakes as many times fewer.
    fcntl(fds[0], F_SETPIPE_SZ, PipeSizeFor(target.place));
    copy.pipe = waiter_.Add(Waiter::Source::kPipe,
                            {.fd = fds[0], .ready = [&copy](short) { copy.ReadPipe(); }});
    dbus::Message call = bus.NewMethodCall(kService, kPath, kInterface, "CaptureScreen");
    int status = sd_bus_message_append(call.get(), "s", target.name.c_str());
    if (status >= 0) {
      status = sd_bus_message_append(call.get(), "a{sv}", 2, "native-resolution", "b", 1,
                                     "include-cursor", "b", 0);
    }
    // The message keeps a copy of the write end until it is sent and freed:
    // then KWin's copy is the last, and its end is the picture's end.
    if (status >= 0) status = sd_bus_message_append(call.get(), "h", fds[1]);
    close(fds[1]);
    if (status < 0) {
      throw PlatformError("cannot ask KWin for a screenshot: " + dbus::ErrnoText(status));
    }
    const auto timeout = std::max<Clock::duration>(deadline - Clock::now(),
                                                   std::chrono::microseconds(1));
    copy.call =
        bus.CallAsync(call, timeout, [&copy](const dbus::Reply& reply) { copy.OnReply(reply); });
  }

  DesktopBus& bus_;
  Waiter& waiter_;
};

}  // namespace

std::unique_ptr<ScreenCopier> MakeKWinScreenCopier(DesktopBus& bus, Waiter& waiter) {
  return std::make_unique<KWinScreenCopier>(bus, waiter);
}

}  // namespace ostrel
