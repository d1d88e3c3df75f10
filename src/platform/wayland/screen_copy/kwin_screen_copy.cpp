#include "platform/wayland/screen_copy/kwin_screen_copy.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
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

// What KWin says of the picture it writes into the file.
struct RawPicture {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t stride = 0;
  std::uint32_t format = 0;
  std::string type;
};

// One output's copy in progress: the call, and the memory file KWin writes
// the picture into. KWin writes through a description of its own, so an
// inotify descriptor in the wait reports each of its writes and its closing;
// the file keeps what came before the reply said what the picture is.
// Through a pipe, the wait woke each time KWin's writer paused with the pipe
// drained; the file wakes it once a picture.
struct OutputCopy {
  const ScreenCopyTarget* target = nullptr;
  Image* frame = nullptr;
  int file_fd = -1;   // the picture's file, read from offset 0
  int watch_fd = -1;  // inotify: KWin's writes and its closing
  Waiter::Registration written;
  dbus::Slot call;
  bool answered = false;
  bool writer_closed = false;
  std::string error_name;  // KWin's or the bus's, when the call failed
  std::string failure;     // why this output's copy failed
  RawPicture picture;
  RawRows rows;
  bool readable = false;  // the reply describes a picture the rows can take

  OutputCopy() = default;
  OutputCopy(const OutputCopy&) = delete;
  OutputCopy& operator=(const OutputCopy&) = delete;
  ~OutputCopy() {
    written.Reset();
    if (watch_fd >= 0) close(watch_fd);
    if (file_fd >= 0) close(file_fd);
  }

  void OnReply(const dbus::Reply& reply) {
    answered = true;
    if (!reply.ok()) {
      error_name = reply.error_name;
      return Fail(reply.error_message.empty() ? reply.error_name : reply.error_message);
    }
    const bool described = dbus::ReadDictionary(reply.message, [this](dbus::DictionaryEntry& e) {
      if (e.key == "width") e.Read(&picture.width);
      if (e.key == "height") e.Read(&picture.height);
      if (e.key == "stride") e.Read(&picture.stride);
      if (e.key == "format") e.Read(&picture.format);
      if (e.key == "type") e.Read(&picture.type);
    });
    if (!described) return Fail("KWin's answer is not a picture's description");
    const std::optional<ByteOrder> order = ByteOrderOfQtFormat(picture.format);
    readable = picture.type == "raw" && order &&
               rows.Begin(*order, picture.width, picture.height, picture.stride, *frame,
                          target->place);
    if (!readable) {
      return Fail("a picture of type '" + picture.type + "', format " +
                  std::to_string(picture.format));
    }
    TakeIfWhole();
  }

  // This output's copy is over: what KWin still writes or closes would only
  // wake the wait while the other outputs' pictures are coming.
  void Fail(std::string why) {
    failure = std::move(why);
    written.Reset();
  }

  // Gives the file the pages of a picture of its place's size, its size
  // left as it is: the size says how much KWin has written. Where the
  // system refuses, KWin's write takes the pages as it goes.
  void Reserve() {
    if (!written) return;
    const off_t bytes = static_cast<off_t>(target->place.width) * target->place.height * 4;
    if (bytes > 0 && fallocate(file_fd, FALLOC_FL_KEEP_SIZE, 0, bytes) == 0) {
      // Where the system reports this to the watch as a write (kernels
      // before 6.14 do), the report is taken here, not in a wake.
      OnWritten();
    }
  }

  // KWin wrote, or closed the file.
  void OnWritten() {
    if (!written) return;
    alignas(inotify_event) char events[4096];
    for (;;) {
      const ssize_t n = read(watch_fd, events, sizeof events);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        if (event->mask & IN_CLOSE_WRITE) writer_closed = true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    TakeIfWhole();
    // Once closed, nothing more will come.
    if (writer_closed) written.Reset();
  }

  // Reads the picture into the frame once its description is known and the
  // file holds all of it, or KWin has closed it (what is there is all there
  // is). KWin need not close the file for that: a whole picture leaves the
  // wait at once, and its closing wakes no one.
  void TakeIfWhole() {
    if (!readable || rows.Complete()) return;
    struct stat file {};
    if (fstat(file_fd, &file) != 0) return;
    const auto size = static_cast<std::uint64_t>(file.st_size);
    if (size < std::uint64_t{picture.stride} * picture.height && !writer_closed) return;
    std::uint8_t chunk[1 << 16];
    for (off_t at = 0; !rows.Complete();) {
      const ssize_t n = pread(file_fd, chunk, sizeof chunk, at);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Fail(std::string("cannot read the picture: ") + std::strerror(errno));
      if (n == 0) break;
      rows.Add(chunk, static_cast<std::size_t>(n));
      at += n;
    }
    if (rows.Complete()) written.Reset();
  }

  // Done: refused, a picture it cannot read, or the whole picture here, or
  // the file closed by KWin.
  bool Finished() const {
    return answered && (!failure.empty() || rows.Complete() || writer_closed);
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
    // While KWin takes its pictures, their files get their pages: KWin's
    // write is then a plain copy, and each picture is whole sooner.
    for (OutputCopy& copy : copies) copy.Reserve();
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
    // KWin gets a description of its own, opened through /proc, so that its
    // closing is the last of that description and inotify reports it.
    copy.file_fd = memfd_create("ostrel-kwin-picture", MFD_CLOEXEC);
    int write_fd = -1;
    int error = errno;
    if (copy.file_fd >= 0) {
      char path[64];
      std::snprintf(path, sizeof path, "/proc/self/fd/%d", copy.file_fd);
      write_fd = open(path, O_WRONLY | O_CLOEXEC);
      copy.watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      if (write_fd < 0 || copy.watch_fd < 0 ||
          inotify_add_watch(copy.watch_fd, path, IN_MODIFY | IN_CLOSE_WRITE) < 0) {
        error = errno;
        if (write_fd >= 0) close(write_fd);
        write_fd = -1;
      }
    }
    if (write_fd < 0) {
      copy.answered = true;
      copy.failure = std::string("cannot make a file for the picture: ") + std::strerror(error);
      return;
    }
    copy.written = waiter_.Add(Waiter::Source::kFileWatch,
                               {.fd = copy.watch_fd, .ready = [&copy](short) { copy.OnWritten(); }});
    dbus::Message call = bus.NewMethodCall(kService, kPath, kInterface, "CaptureScreen");
    int status = sd_bus_message_append(call.get(), "s", target.name.c_str());
    if (status >= 0) {
      status = sd_bus_message_append(call.get(), "a{sv}", 2, "native-resolution", "b", 1,
                                     "include-cursor", "b", 0);
    }
    // The message keeps a copy of the write description until it is sent
    // and freed: then KWin's copy is the last, and its closing is the
    // picture's end.
    if (status >= 0) status = sd_bus_message_append(call.get(), "h", write_fd);
    close(write_fd);
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
