#include "platform/wayland/screen_copy/portal_screen_copy.h"

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
#include "platform/wayland/screen_copy/desktop_bus.h"
#include "platform/wayland/screen_copy/portal_uri.h"
#include "platform/wayland/screen_copy/placement.h"

namespace ostrel {
namespace {

constexpr char kService[] = "org.freedesktop.portal.Desktop";
constexpr char kPath[] = "/org/freedesktop/portal/desktop";
constexpr char kInterface[] = "org.freedesktop.portal.Screenshot";
constexpr char kRequest[] = "org.freedesktop.portal.Request";
// A picture larger than this is not a screen.
constexpr off_t kLargestFile = 1 << 30;
// The portal answers for its version at once when it is there.
constexpr auto kVersionPatience = std::chrono::seconds(5);

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

class PortalScreenCopier final : public ScreenCopier {
 public:
  PortalScreenCopier(DesktopBus& bus, Waiter& waiter) : bus_(bus), waiter_(waiter) {}

  std::string_view Name() const override { return "the screenshot portal"; }

  // Long enough to read the desktop's question and answer it, short enough
  // that an unanswered one does not keep the program waiting without a
  // window.
  Clock::duration Patience() const override { return kPortalPatience; }

  ScreenCopyOutcome Copy(const ScreenCopyDestination& frame,
                         std::span<const ScreenCopyTarget> /*targets*/,
                         TimePoint deadline) override {
    dbus::Connection* bus = nullptr;
    try {
      bus = &bus_.Get();
    } catch (const PlatformError& failure) {
      return ScreenCopyOutcome::NotHere(std::string("no session bus for the screenshot portal (") +
                                        failure.what() + ")");
    }
    // The portal is there when it answers for its version; that answer also
    // completes the bus's greeting, which gives this connection the unique
    // name that the request's path is made of.
    const TimePoint ask_by = std::min(deadline, Clock::now() + kVersionPatience);
    std::optional<std::string> version_error;
    dbus::Message get = bus->NewMethodCall(kService, kPath, "org.freedesktop.DBus.Properties", "Get");
    sd_bus_message_append(get.get(), "ss", kInterface, "version");
    dbus::Slot asked = bus->CallAsync(get, ask_by - Clock::now(), [&](const dbus::Reply& reply) {
      version_error = reply.ok() ? "" : reply.error_name + ": " + reply.error_message;
    });
    Waiter::End end = waiter_.WaitUntil([&] { return version_error.has_value(); }, ask_by);
    if (end == Waiter::End::kInterrupted) return ScreenCopyOutcome::Interrupted();
    if (!version_error) return ScreenCopyOutcome::NotHere("the screenshot portal did not answer");
    if (!version_error->empty()) {
      return ScreenCopyOutcome::NotHere("no screenshot portal (" + *version_error + ")");
    }
    const std::string unique_name = bus->UniqueName();
    if (unique_name.empty()) return ScreenCopyOutcome::NotHere("no name on the session bus");
    const std::string token =
        "ostrel" + std::to_string(getpid()) + "_" + std::to_string(++requests_);
    const std::string path = PortalRequestPath(unique_name, token);

    // Subscribed before the call, so that the answer cannot come first.
    std::optional<std::uint32_t> response;
    std::string uri;
    dbus::Slot match =
        bus->MatchSignal(kService, path.c_str(), kRequest, "Response", [&](sd_bus_message* signal) {
          std::uint32_t code = 2;
          if (sd_bus_message_read(signal, "u", &code) > 0 && code == 0) {
            dbus::ReadDictionary(signal, [&](dbus::DictionaryEntry& e) {
              if (e.key == "uri") e.Read(&uri);
            });
          }
          response = code;
        });
    dbus::Message call = bus->NewMethodCall(kService, kPath, kInterface, "Screenshot");
    int status = sd_bus_message_append(call.get(), "s", "");
    if (status >= 0) {
      status = sd_bus_message_append(call.get(), "a{sv}", 3, "handle_token", "s", token.c_str(),
                                     "interactive", "b", 0, "modal", "b", 0);
    }
    if (status < 0) {
      throw PlatformError("cannot ask the screenshot portal: " + dbus::ErrnoText(status));
    }
    std::string call_error;
    dbus::Slot calling =
        bus->CallAsync(call, deadline - Clock::now(), [&](const dbus::Reply& reply) {
          if (!reply.ok()) call_error = reply.error_name + ": " + reply.error_message;
        });
    end = waiter_.WaitUntil([&] { return response.has_value() || !call_error.empty(); }, deadline);
    if (end == Waiter::End::kInterrupted) return ScreenCopyOutcome::Interrupted();
    if (!call_error.empty()) {
      return ScreenCopyOutcome::NotHere("the screenshot portal failed (" + call_error + ")");
    }
    if (!response) {
      throw PlatformError(
          "the screenshot portal did not answer within " +
          std::to_string(std::chrono::duration_cast<std::chrono::seconds>(Patience()).count()) +
          " s (is its question \"Allow Applications to Take Screenshots?\" unanswered?); " +
          std::string(kHowToAllow));
    }
    // 1: the user cancelled the question; 2: it ended another way (a refusal).
    if (*response != 0) {
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

  DesktopBus& bus_;
  Waiter& waiter_;
  int requests_ = 0;
};

}  // namespace

std::unique_ptr<ScreenCopier> MakePortalScreenCopier(DesktopBus& bus, Waiter& waiter) {
  return std::make_unique<PortalScreenCopier>(bus, waiter);
}

}  // namespace ostrel
