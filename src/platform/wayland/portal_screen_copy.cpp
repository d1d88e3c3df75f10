#include "platform/wayland/portal_screen_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/dbus/dbus_connection.h"
#include "platform/platform_error.h"
#include "platform/png_codec.h"
#include "platform/posix/monotonic_clock.h"
#include "platform/wayland/bus_wait.h"
#include "platform/wayland/desktop_screenshots.h"
#include "platform/wayland/screen_copy_placement.h"

namespace ostrel {
namespace {

constexpr char kService[] = "org.freedesktop.portal.Desktop";
constexpr char kPath[] = "/org/freedesktop/portal/desktop";
constexpr char kInterface[] = "org.freedesktop.portal.Screenshot";
constexpr char kRequest[] = "org.freedesktop.portal.Request";
// A picture larger than this is not a screen.
constexpr off_t kLargestFile = 1 << 30;

// How the user allows it again after a refusal: the permission store's entry
// for programs that are not sandboxed (their application id is empty).
constexpr char kHowToAllow[] =
    "allow it with: gdbus call --session --dest org.freedesktop.impl.portal.PermissionStore "
    "--object-path /org/freedesktop/impl/portal/PermissionStore --method "
    "org.freedesktop.impl.portal.PermissionStore.SetPermission screenshot true screenshot '' "
    "\"['yes']\"";

// The whole file, or nothing.
std::optional<std::vector<std::uint8_t>> ReadFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  std::optional<std::vector<std::uint8_t>> data;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kLargestFile) {
    data.emplace(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < data->size()) {
      const ssize_t n = read(fd, data->data() + done, data->size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    data->resize(done);
  }
  close(fd);
  return data;
}

// The uri of the Response's results (a{sv}); empty when there is none.
std::string ReadUri(sd_bus_message* results) {
  std::string uri;
  if (sd_bus_message_enter_container(results, 'a', "{sv}") < 0) return uri;
  while (sd_bus_message_enter_container(results, 'e', "sv") > 0) {
    const char* key = nullptr;
    char kind = 0;
    const char* contents = nullptr;
    if (sd_bus_message_read(results, "s", &key) < 0 ||
        sd_bus_message_peek_type(results, &kind, &contents) < 0) {
      return uri;
    }
    if (std::strcmp(key, "uri") == 0 && std::strcmp(contents, "s") == 0) {
      const char* value = nullptr;
      if (sd_bus_message_enter_container(results, 'v', "s") < 0 ||
          sd_bus_message_read(results, "s", &value) < 0 ||
          sd_bus_message_exit_container(results) < 0) {
        return uri;
      }
      uri = value;
    } else if (sd_bus_message_skip(results, "v") < 0) {
      return uri;
    }
    if (sd_bus_message_exit_container(results) < 0) return uri;
  }
  return uri;
}

class PortalScreenCopier final : public ScreenCopier {
 public:
  PortalScreenCopier(dbus::Connection& bus, wl_display* display) : bus_(bus), display_(display) {}

  ScreenCopyOutcome Copy(const ScreenCopyDestination& frame,
                         std::span<const ScreenCopyTarget> /*targets*/,
                         std::int64_t /*deadline_ns*/) override {
    // The portal is there when it answers for its version; that answer also
    // completes the bus's greeting, which gives this connection the unique
    // name that the request's path is made of.
    const std::int64_t ask_by = MonotonicNs() + 5'000'000'000;
    std::optional<dbus::Reply> version;
    std::string version_error;
    dbus::Message get =
        bus_.NewMethodCall(kService, kPath, "org.freedesktop.DBus.Properties", "Get");
    sd_bus_message_append(get.get(), "ss", kInterface, "version");
    bool got_version = false;
    dbus::Slot asked = bus_.CallAsync(get, std::chrono::seconds(5), [&](const dbus::Reply& reply) {
      got_version = true;
      if (!reply.ok()) version_error = reply.error_name + ": " + reply.error_message;
    });
    WaitEnd end = WaitForBus(
        bus_, display_, [&] { return got_version; }, ask_by);
    if (end == WaitEnd::kEndSignal) return ScreenCopyOutcome::Interrupted();
    if (!got_version) return ScreenCopyOutcome::NotHere("the screenshot portal did not answer");
    if (!version_error.empty())
      return ScreenCopyOutcome::NotHere("no screenshot portal (" + version_error + ")");

    const char* unique_name = nullptr;
    if (sd_bus_get_unique_name(bus_.get(), &unique_name) < 0 || unique_name == nullptr) {
      return ScreenCopyOutcome::NotHere("no name on the session bus");
    }
    const std::string token =
        "ostrel" + std::to_string(getpid()) + "_" + std::to_string(++requests_);
    const std::string path = PortalRequestPath(unique_name, token);

    // Subscribed before the call, so that the answer cannot come first.
    bool answered = false;
    std::uint32_t response = 2;
    std::string uri;
    dbus::Slot match =
        bus_.MatchSignal(kService, path.c_str(), kRequest, "Response", [&](sd_bus_message* signal) {
          if (sd_bus_message_read(signal, "u", &response) < 0) {
            response = 2;
          } else {
            uri = ReadUri(signal);
          }
          answered = true;
        });
    dbus::Message call = bus_.NewMethodCall(kService, kPath, kInterface, "Screenshot");
    int status = sd_bus_message_append(call.get(), "s", "");
    if (status >= 0) {
      status = sd_bus_message_append(call.get(), "a{sv}", 3, "handle_token", "s", token.c_str(),
                                     "interactive", "b", 0, "modal", "b", 0);
    }
    if (status < 0)
      throw PlatformError("cannot ask the screenshot portal: " + dbus::ErrnoText(status));
    std::string call_error;
    dbus::Slot calling = bus_.CallAsync(
        call, std::chrono::nanoseconds(kPortalTimeoutNs), [&](const dbus::Reply& reply) {
          if (!reply.ok()) {
            call_error = reply.error_name + ": " + reply.error_message;
          }
        });
    end = WaitForBus(
        bus_, display_, [&] { return answered || !call_error.empty(); },
        MonotonicNs() + kPortalTimeoutNs);
    if (end == WaitEnd::kEndSignal) return ScreenCopyOutcome::Interrupted();
    if (!call_error.empty())
      return ScreenCopyOutcome::NotHere("the screenshot portal failed (" + call_error + ")");
    if (!answered) {
      throw PlatformError(
          "the screenshot portal did not answer within 30 s (is its question "
          "\"Allow Applications to Take Screenshots?\" unanswered?); " +
          std::string(kHowToAllow));
    }
    if (response != 0) {
      throw PlatformError(std::string("the desktop refused to let ostrel copy the screen; ") +
                          kHowToAllow);
    }
    return Place(uri, frame);
  }

 private:
  static ScreenCopyOutcome Place(const std::string& uri, const ScreenCopyDestination& frame) {
    const std::optional<std::string> file = FilePathOfUri(uri);
    if (!file)
      return ScreenCopyOutcome::NotHere("the screenshot portal named no file (" + uri + ")");
    const std::optional<std::vector<std::uint8_t>> png = ReadFile(*file);
    // The picture is ours alone: it does not stay among the user's files.
    unlink(file->c_str());
    if (!png)
      return ScreenCopyOutcome::NotHere("cannot read the screenshot portal's file " + *file);
    // All the outputs at their places, at the largest scale: the frame's
    // layout, decoded straight into it; a picture of another size (another
    // scale) is scaled to fill it.
    Image& pixels = *frame.pixels;
    std::optional<Image> other;
    const bool decoded = DecodePngTo(png->data(), png->size(), PixelFormat{},
                                     [&](int width, int height) -> Image* {
                                       if (width == pixels.Width() && height == pixels.Height()) {
                                         return &pixels;
                                       }
                                       return &other.emplace(width, height);
                                     });
    if (!decoded) return ScreenCopyOutcome::NotHere("the screenshot portal's file is no picture");
    if (other) PlaceScreenCopy(*other, {}, pixels, {0, 0, pixels.Width(), pixels.Height()});
    return ScreenCopyOutcome::Copied();
  }

  dbus::Connection& bus_;
  wl_display* display_;
  int requests_ = 0;
};

}  // namespace

std::unique_ptr<ScreenCopier> MakePortalScreenCopier(dbus::Connection& bus, wl_display* display) {
  return std::make_unique<PortalScreenCopier>(bus, display);
}

}  // namespace ostrel
