#include "platform/wayland/screen_copy/mutter_screen_cast.h"

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/dbus/dbus_connection.h"
#include "platform/platform_error.h"
#include "platform/wayland/screen_copy/desktop_bus.h"
#include "platform/wayland/screen_copy/pipewire_frames.h"

namespace ostrel {
namespace {

constexpr char kService[] = "org.gnome.Mutter.ScreenCast";
constexpr char kPath[] = "/org/gnome/Mutter/ScreenCast";
constexpr char kInterface[] = "org.gnome.Mutter.ScreenCast";
constexpr char kSession[] = "org.gnome.Mutter.ScreenCast.Session";
constexpr char kStream[] = "org.gnome.Mutter.ScreenCast.Stream";
// The first version whose RecordMonitor takes is-recording.
constexpr std::int32_t kVersionNeeded = 4;
// No cursor in the frozen picture: the program hides it anyway.
constexpr std::uint32_t kCursorHidden = 0;

// A screen-cast session of mutter's, stopped on every way out (mutter also
// stops it when the connection goes).
class CastSession {
 public:
  CastSession(dbus::Connection& bus, std::string path) : bus_(bus), path_(std::move(path)) {}
  ~CastSession() {
    try {
      bus_.Send(Call("Stop"));
    } catch (const PlatformError&) {
      // The connection is gone, and mutter stops the session with it.
    }
  }
  CastSession(const CastSession&) = delete;
  CastSession& operator=(const CastSession&) = delete;

  dbus::Message Call(const char* member) {
    return bus_.NewMethodCall(kService, path_.c_str(), kSession, member);
  }

 private:
  dbus::Connection& bus_;
  std::string path_;
};

// What came back: the object path a call returned, or why not.
std::optional<std::string> PathOf(const dbus::Answer& answer, std::string* why) {
  const char* path = nullptr;
  if (!answer.ok()) {
    *why = answer.error.empty() ? "no answer in time" : answer.error;
  } else if (sd_bus_message_read(answer.reply.get(), "o", &path) <= 0 || path == nullptr) {
    *why = "an answer without an object path";
  } else {
    return std::string(path);
  }
  return std::nullopt;
}

class MutterScreenCaster final : public ScreenCopier {
 public:
  MutterScreenCaster(DesktopBus& bus, Waiter& waiter) : bus_(bus), waiter_(waiter) {}

  std::string_view Name() const override { return "GNOME's screen cast"; }

  Clock::duration Patience() const override { return kScreenCastPatience; }

  ScreenCopyOutcome Copy(const ScreenCopyDestination& frame,
                         std::span<const ScreenCopyTarget> targets,
                         TimePoint deadline) override {
    dbus::Connection* bus = nullptr;
    try {
      bus = &bus_.Get();
    } catch (const PlatformError& failure) {
      return ScreenCopyOutcome::NotHere(std::string("no session bus for GNOME's screen cast (") +
                                        failure.what() + ")");
    }
    // Where the session bus has it, in a version that records as asked.
    dbus::Message get =
        bus->NewMethodCall(kService, kPath, "org.freedesktop.DBus.Properties", "Get");
    sd_bus_message_append(get.get(), "ss", kInterface, "Version");
    const dbus::Answer version = bus->CallAndWait(get, waiter_, deadline);
    if (version.end == Waiter::End::kInterrupted) return ScreenCopyOutcome::Interrupted();
    std::int32_t number = 0;
    if (!version.ok() || sd_bus_message_read(version.reply.get(), "v", "i", &number) <= 0) {
      return ScreenCopyOutcome::NotHere(
          "no GNOME screen cast (" + (version.error.empty() ? "no answer" : version.error) + ")");
    }
    if (number < kVersionNeeded) {
      return ScreenCopyOutcome::NotHere("GNOME's screen cast is version " +
                                        std::to_string(number) + ", older than 4");
    }

    dbus::Message create = bus->NewMethodCall(kService, kPath, kInterface, "CreateSession");
    sd_bus_message_append(create.get(), "a{sv}", 0);
    const dbus::Answer created = bus->CallAndWait(create, waiter_, deadline);
    if (created.end == Waiter::End::kInterrupted) return ScreenCopyOutcome::Interrupted();
    std::string why;
    const std::optional<std::string> session_path = PathOf(created, &why);
    if (!session_path) return ScreenCopyOutcome::NotHere("GNOME refused a screen cast (" + why + ")");
    CastSession session(*bus, *session_path);

    // Every monitor recorded and the session started in one round, while
    // PipeWire is set up here: mutter handles the calls meanwhile. A
    // stream's path is known only from its answer, which comes before its
    // node's signal, so the signal is matched for any stream and told apart
    // by its path.
    std::optional<PipeWireFrames> frames;
    std::vector<std::string> stream_paths(targets.size());
    std::vector<std::optional<std::size_t>> received(targets.size());
    const dbus::Slot added = bus->MatchSignal(
        kService, nullptr, kStream, "PipeWireStreamAdded", [&](sd_bus_message* signal) {
          const char* path = sd_bus_message_get_path(signal);
          std::uint32_t node = 0;
          if (!frames || path == nullptr || sd_bus_message_read(signal, "u", &node) <= 0) return;
          for (std::size_t i = 0; i < targets.size(); ++i) {
            if (stream_paths[i] == path && !received[i]) {
              received[i] = frames->Receive(node, *frame.pixels, targets[i].place);
            }
          }
        });
    // Each monitor's answer, then Start's: empty when it succeeded, else why not.
    std::vector<std::optional<std::string>> failures(targets.size() + 1);
    std::vector<dbus::Slot> calls;
    for (std::size_t i = 0; i <= targets.size(); ++i) {
      const bool record = i < targets.size();
      dbus::Message call = session.Call(record ? "RecordMonitor" : "Start");
      if (record) {
        sd_bus_message_append(call.get(), "s", targets[i].name.c_str());
        sd_bus_message_append(call.get(), "a{sv}", 2, "cursor-mode", "u", kCursorHidden,
                              "is-recording", "b", 1);
      }
      calls.push_back(bus->CallAsync(call, deadline - Clock::now(), [&, i, record](
                                                                       const dbus::Reply& got) {
        const char* path = nullptr;
        if (!got.ok()) {
          failures[i] = got.error_name + (got.error_message.empty() ? "" : ": " + got.error_message);
        } else if (record &&
                   (sd_bus_message_read(got.message, "o", &path) <= 0 || path == nullptr)) {
          failures[i] = "an answer without an object path";
        } else {
          if (record) stream_paths[i] = path;
          failures[i] = std::string();
        }
      }));
    }
    // A refusal says more than PipeWire's absence, so the answers are read
    // first either way.
    std::string no_pipewire;
    try {
      frames.emplace(waiter_);
    } catch (const PlatformError& failure) {
      no_pipewire = failure.what();
    }
    const Waiter::End answered = waiter_.WaitUntil(
        [&] {
          return std::all_of(failures.begin(), failures.end(),
                             [](const auto& failure) { return failure.has_value(); });
        },
        deadline);
    if (answered == Waiter::End::kInterrupted) return ScreenCopyOutcome::Interrupted();
    for (std::size_t i = 0; i < targets.size(); ++i) {
      if (!failures[i] || !failures[i]->empty()) {
        return ScreenCopyOutcome::NotHere("GNOME would not record " + targets[i].name + " (" +
                                          failures[i].value_or("no answer in time") + ")");
      }
    }
    if (!failures.back() || !failures.back()->empty()) {
      return ScreenCopyOutcome::NotHere("GNOME's screen cast did not start (" +
                                        failures.back().value_or("no answer") + ")");
    }
    if (!frames) return ScreenCopyOutcome::NotHere(no_pipewire);
    const Waiter::End end = waiter_.WaitUntil(
        [&] {
          return std::all_of(received.begin(), received.end(),
                             [](const auto& index) { return index.has_value(); }) &&
                 frames->Done();
        },
        deadline);
    if (end == Waiter::End::kInterrupted) return ScreenCopyOutcome::Interrupted();
    std::vector<ScreenCopyOutcome::FailedOutput> failed;
    for (std::size_t i = 0; i < targets.size(); ++i) {
      std::string failure = received[i] ? frames->Failure(*received[i]) : "no stream in time";
      if (!failure.empty()) failed.push_back({i, std::move(failure)});
    }
    return ScreenCopyOutcome::OfOutputs(std::move(failed), targets.size());
  }

 private:
  DesktopBus& bus_;
  Waiter& waiter_;
};

}  // namespace

std::unique_ptr<ScreenCopier> MakeMutterScreenCaster(DesktopBus& bus, Waiter& waiter) {
  return std::make_unique<MutterScreenCaster>(bus, waiter);
}

}  // namespace ostrel
