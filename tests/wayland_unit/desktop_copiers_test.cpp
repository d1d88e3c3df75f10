// The desktops' ways of copying the screen, against stand-ins for KWin's
// ScreenShot2 and the screenshot portal on a private session bus: each
// answer of the copy contract, pictures that come whole, short or through a
// file KWin never closes, a refusal, the portal's escaped paths and its
// cancelled question; and the chain's decisions with ways of its own.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../dbus/private_bus.h"
#include "platform/platform_error.h"
#include "platform/png_codec.h"
#include "platform/wayland/screen_copy/copy_chain.h"
#include "platform/wayland/screen_copy/desktop_bus.h"
#include "platform/wayland/screen_copy/kwin_screen_copy.h"
#include "platform/wayland/screen_copy/mutter_screen_cast.h"
#include "platform/wayland/screen_copy/portal_screen_copy.h"

namespace ostrel {
namespace {

using namespace std::chrono_literals;

constexpr int kWidth = 4;
constexpr int kHeight = 3;

std::uint32_t PixelOf(int output, int x, int y) {
  return static_cast<std::uint32_t>((output + 1) * 0x400000 + y * 0x100 + x * 0x10);
}

// What a stand-in desktop does with one output's screenshot, by its name.
// kAnswerFirst: the answer, then the picture in two pieces a moment apart,
// its file kept open: only the second makes it whole. kUnreadable: the
// whole picture, described as a PNG, its file kept open. kLate: the whole picture, 300 ms after the call.
enum class Shot { kWhole, kKeptOpen, kShort, kRefused, kAnswerFirst, kLate, kUnreadable };
constexpr auto kLateBy = std::chrono::milliseconds(300);

class FakeDesktop {
 public:
  explicit FakeDesktop(const std::string& address)
      : connection_(dbus::Connection::OpenAddress(address)) {
    sd_bus* bus = connection_->get();
    if (sd_bus_add_object_vtable(bus, nullptr, "/org/kde/KWin/ScreenShot2",
                                 "org.kde.KWin.ScreenShot2", kKWin, this) < 0 ||
        sd_bus_request_name(bus, "org.kde.KWin", 0) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/portal/desktop",
                                 "org.freedesktop.portal.Screenshot", kPortal, this) < 0 ||
        sd_bus_request_name(bus, "org.freedesktop.portal.Desktop", 0) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/org/gnome/Mutter/ScreenCast",
                                 "org.gnome.Mutter.ScreenCast", kScreenCast, this) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, kCastSession, "org.gnome.Mutter.ScreenCast.Session",
                                 kCastSessionTable, this) < 0 ||
        sd_bus_request_name(bus, "org.gnome.Mutter.ScreenCast", 0) < 0) {
      throw std::runtime_error("the stand-in desktop could not start");
    }
    thread_ = std::make_unique<ostrel::testing::ServiceThread>(
        std::vector<dbus::Connection*>{connection_.get()});
  }
  ~FakeDesktop() { thread_.reset(); }

  void SetShot(const std::string& output, Shot shot) {
    std::lock_guard<std::mutex> lock(mutex_);
    shots_[output] = shot;
  }
  void SetPortal(std::uint32_t response, std::string uri) {
    std::lock_guard<std::mutex> lock(mutex_);
    response_ = response;
    uri_ = std::move(uri);
  }
  // The screen cast's version, and the session's call it refuses, if any.
  void SetCast(std::int32_t version, std::string refused) {
    std::lock_guard<std::mutex> lock(mutex_);
    cast_version_ = version;
    cast_refused_ = std::move(refused);
  }
  // What the screen cast's session was asked, in order (a RecordMonitor with
  // its connector and options).
  std::vector<std::string> cast_calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return cast_calls_;
  }
  // The options of every CaptureScreen, "key=value" each.
  std::vector<std::string> options() {
    std::lock_guard<std::mutex> lock(mutex_);
    return options_;
  }

 private:
  static FakeDesktop& Self(void* userdata) { return *static_cast<FakeDesktop*>(userdata); }
  Shot ShotOf(const std::string& output) {
    std::lock_guard<std::mutex> lock(mutex_);
    return shots_[output];
  }

  static int CaptureScreen(sd_bus_message* call, void* userdata, sd_bus_error*) {
    FakeDesktop& self = Self(userdata);
    const char* name = nullptr;
    sd_bus_message_read(call, "s", &name);
    if (self.ShotOf(name) == Shot::kLate) std::this_thread::sleep_for(kLateBy);
    std::lock_guard<std::mutex> lock(self.mutex_);
    dbus::ReadDictionary(call, [&](dbus::DictionaryEntry& entry) {
      bool flag = false;
      if (entry.Read(&flag)) self.options_.push_back(std::string(entry.key) + "=" + (flag ? "1" : "0"));
    });
    int fd = -1;
    sd_bus_message_read(call, "h", &fd);
    const Shot shot = self.shots_[name];
    if (shot == Shot::kRefused) {
      return sd_bus_reply_method_errorf(call, "org.kde.KWin.ScreenShot2.Error.NoAuthorized",
                                        "not allowed");
    }
    const int output = name[0] - 'A';
    // 0xAARRGGBB words, rows of kWidth + 1 pixels (one unused).
    std::vector<std::uint32_t> rows;
    for (int y = 0; y < (shot == Shot::kShort ? kHeight - 1 : kHeight); ++y) {
      for (int x = 0; x <= kWidth; ++x) rows.push_back(0xFF000000 | PixelOf(output, x, y));
    }
    const std::size_t bytes = rows.size() * 4;
    const auto piece = [&](std::size_t from, std::size_t to) {
      return write(fd, reinterpret_cast<const char*>(rows.data()) + from, to - from) ==
             static_cast<ssize_t>(to - from);
    };
    if (shot != Shot::kAnswerFirst && !piece(0, bytes)) return -EIO;
    if (shot == Shot::kKeptOpen || shot == Shot::kAnswerFirst || shot == Shot::kUnreadable) {
      self.kept_.push_back(dup(fd));
    }
    sd_bus_message* reply = nullptr;
    sd_bus_message_new_method_return(call, &reply);
    sd_bus_message_append(reply, "a{sv}", 5, "width", "u", kWidth, "height", "u", kHeight,
                          "stride", "u", (kWidth + 1) * 4, "format", "u", 5, "type", "s",
                          shot == Shot::kUnreadable ? "png" : "raw");
    const int sent = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    if (shot == Shot::kAnswerFirst) {
      sd_bus_flush(sd_bus_message_get_bus(call));
      std::this_thread::sleep_for(kLateBy / 6);
      if (!piece(0, bytes / 2)) return -EIO;
      std::this_thread::sleep_for(kLateBy / 6);
      if (!piece(bytes / 2, bytes)) return -EIO;
    }
    return sent;
  }

  static int Screenshot(sd_bus_message* call, void* userdata, sd_bus_error*) {
    FakeDesktop& self = Self(userdata);
    std::string token;
    sd_bus_message_skip(call, "s");
    dbus::ReadDictionary(call, [&](dbus::DictionaryEntry& entry) {
      if (entry.key == "handle_token") entry.Read(&token);
    });
    std::string sender = sd_bus_message_get_sender(call) + 1;
    for (char& c : sender) c = c == '.' ? '_' : c;
    const std::string path = "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
    std::lock_guard<std::mutex> lock(self.mutex_);
    const int replied = sd_bus_reply_method_return(call, "o", path.c_str());
    if (replied < 0) return replied;
    return sd_bus_emit_signal(sd_bus_message_get_bus(call), path.c_str(),
                              "org.freedesktop.portal.Request", "Response", "ua{sv}",
                              self.response_, 1, "uri", "s", self.uri_.c_str());
  }

  static int Version(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                     sd_bus_error*) {
    return sd_bus_message_append(reply, "u", 1U);
  }

  static constexpr const char* kCastSession = "/org/gnome/Mutter/ScreenCast/Session/u1";

  static int CastVersion(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                         void* userdata, sd_bus_error*) {
    std::lock_guard<std::mutex> lock(Self(userdata).mutex_);
    return sd_bus_message_append(reply, "i", Self(userdata).cast_version_);
  }
  static int CastCall(sd_bus_message* call, void* userdata, sd_bus_error*) {
    FakeDesktop& self = Self(userdata);
    std::lock_guard<std::mutex> lock(self.mutex_);
    const std::string member = sd_bus_message_get_member(call);
    std::string asked = member;
    if (member == "RecordMonitor") {
      // Which monitor, and how: "RecordMonitor A cursor-mode=0 is-recording=1".
      const char* connector = nullptr;
      sd_bus_message_read(call, "s", &connector);
      asked.append(" ").append(connector != nullptr ? connector : "?");
      dbus::ReadDictionary(call, [&](dbus::DictionaryEntry& entry) {
        std::uint32_t number = 0;
        bool flag = false;
        if (entry.Read(&number)) {
          asked.append(" ").append(entry.key).append("=").append(std::to_string(number));
        } else if (entry.Read(&flag)) {
          asked.append(" ").append(entry.key).append("=").append(flag ? "1" : "0");
        }
      });
    }
    self.cast_calls_.push_back(asked);
    if (member == self.cast_refused_) {
      return sd_bus_reply_method_errorf(call, "org.freedesktop.DBus.Error.Failed", "refused");
    }
    if (member == "CreateSession") return sd_bus_reply_method_return(call, "o", kCastSession);
    if (member == "RecordMonitor") {
      return sd_bus_reply_method_return(call, "o", "/org/gnome/Mutter/ScreenCast/Stream/u1");
    }
    return sd_bus_reply_method_return(call, "");
  }

  static constexpr sd_bus_vtable kScreenCast[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("Version", "i", CastVersion, 0, 0),
      SD_BUS_METHOD("CreateSession", "a{sv}", "o", CastCall, 0),
      SD_BUS_VTABLE_END,
  };
  static constexpr sd_bus_vtable kCastSessionTable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("RecordMonitor", "sa{sv}", "o", CastCall, 0),
      SD_BUS_METHOD("Start", "", "", CastCall, 0),
      SD_BUS_METHOD("Stop", "", "", CastCall, 0),
      SD_BUS_VTABLE_END,
  };
  static constexpr sd_bus_vtable kKWin[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("CaptureScreen", "sa{sv}h", "a{sv}", CaptureScreen, 0),
      SD_BUS_VTABLE_END,
  };
  static constexpr sd_bus_vtable kPortal[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("version", "u", Version, 0, 0),
      SD_BUS_METHOD("Screenshot", "sa{sv}", "o", Screenshot, 0),
      SD_BUS_VTABLE_END,
  };

  std::unique_ptr<dbus::Connection> connection_;
  std::mutex mutex_;
  std::map<std::string, Shot> shots_;
  std::vector<std::string> options_;
  std::vector<int> kept_;  // never closed: KWin keeping its write ends
  std::uint32_t response_ = 2;
  std::string uri_;
  std::int32_t cast_version_ = 4;
  std::string cast_refused_;
  std::vector<std::string> cast_calls_;
  std::unique_ptr<ostrel::testing::ServiceThread> thread_;
};

class DesktopCopiersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus_ = std::make_unique<ostrel::testing::PrivateBus>();
    if (bus_->address().empty()) GTEST_SKIP() << bus_->error();
    setenv("DBUS_SESSION_BUS_ADDRESS", bus_->address().c_str(), 1);
    desktop_ = std::make_unique<FakeDesktop>(bus_->address());
    desktop_bus_ = std::make_unique<DesktopBus>(waiter_);
    frame_ = Image(2 * kWidth, kHeight);
    frame_.Fill(0x777777);
  }
  void TearDown() override {
    desktop_bus_.reset();
    desktop_.reset();
  }

  // Outputs "A" and "B" side by side in the frame.
  std::vector<ScreenCopyTarget> Targets() const {
    return {{nullptr, "A", {0, 0, kWidth, kHeight}, 0},
            {nullptr, "B", {kWidth, 0, kWidth, kHeight}, 0}};
  }
  bool Shows(int output) const {
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        if (frame_.At(output * kWidth + x, y) != PixelOf(output, x, y)) return false;
      }
    }
    return true;
  }
  bool Black(int output) const {
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        if (frame_.At(output * kWidth + x, y) != 0) return false;
      }
    }
    return true;
  }

  std::unique_ptr<ostrel::testing::PrivateBus> bus_;
  std::unique_ptr<FakeDesktop> desktop_;
  Waiter waiter_;
  std::unique_ptr<DesktopBus> desktop_bus_;
  Image frame_;
};

TEST_F(DesktopCopiersTest, KWinsPicturesThroughTheirFiles) {
  using Kind = ScreenCopyChain::Result::Kind;
  const struct {
    const char* what;
    Shot a, b;
    Kind kind;
    bool a_shown, b_shown;  // else black
    std::string line;       // a part of the one line said, if any
    // The files still watched halfway through B's lateness (-1: not
    // asked). A whole picture's file leaves the wait at once, though KWin
    // keeps it open: its end would only wake the wait again.
    int files_meanwhile = -1;
  } cases[] = {
      {"both whole", Shot::kWhole, Shot::kWhole, Kind::kWhole, true, true, ""},
      {"KWin keeps its files open", Shot::kKeptOpen, Shot::kKeptOpen, Kind::kWhole, true,
       true, ""},
      {"one comes short", Shot::kWhole, Shot::kShort, Kind::kPartly, true, false,
       "screen copy of B failed (the picture did not come whole)"},
      {"both come short", Shot::kShort, Shot::kShort, Kind::kNone, false, false,
       "every output failed"},
      {"not allowed", Shot::kRefused, Shot::kRefused, Kind::kNone, false, false,
       "KWin does not let this program"},
      {"A's picture before its answer, its file open, while B comes late", Shot::kKeptOpen,
       Shot::kLate, Kind::kWhole, true, true, "", 1},
      {"A's picture after its answer, its file open, while B comes late", Shot::kAnswerFirst,
       Shot::kLate, Kind::kWhole, true, true, "", 1},
      {"A's picture unreadable, its file open, while B comes late", Shot::kUnreadable, Shot::kLate,
       Kind::kPartly, false, true, "screen copy of A failed (a picture of type 'png'", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    desktop_->SetShot("A", c.a);
    desktop_->SetShot("B", c.b);
    frame_.Fill(0x777777);
    ScreenCopyChain chain;
    chain.Add(MakeKWinScreenCopier(*desktop_bus_, waiter_));
    const std::vector<ScreenCopyTarget> targets = Targets();
    const TimePoint start = Clock::now();
    int files_meanwhile = -1;
    const Waiter::Registration sample = waiter_.Add(
        Waiter::Source::kTimer,
        {.due = [&]() -> std::optional<TimePoint> {
           if (files_meanwhile >= 0) return std::nullopt;
           return start + kLateBy / 2;
         },
         .ready = [&](short) { files_meanwhile = waiter_.Count(Waiter::Source::kFileWatch); }});
    const ScreenCopyChain::Result result = chain.Copy({&frame_, nullptr, 0}, targets);
    EXPECT_LT(Clock::now() - start, 1s) << "the copy waited for its deadline";
    EXPECT_EQ(result.kind, c.kind);
    if (c.files_meanwhile >= 0) {
      EXPECT_EQ(files_meanwhile, c.files_meanwhile);
    }
    EXPECT_EQ(Shows(0), c.a_shown);
    EXPECT_EQ(Black(0), !c.a_shown);
    EXPECT_EQ(Shows(1), c.b_shown);
    EXPECT_EQ(Black(1), !c.b_shown);
    if (c.line.empty()) {
      EXPECT_TRUE(result.lines.empty());
    } else {
      ASSERT_EQ(result.lines.size(), 1U);
      EXPECT_NE(result.lines[0].find(c.line), std::string::npos) << result.lines[0];
    }
    EXPECT_EQ(waiter_.Count(Waiter::Source::kFileWatch), 0) << "a picture's file stayed in the wait";
  }
  for (const std::string& option : desktop_->options()) {
    EXPECT_TRUE(option == "native-resolution=1" || option == "include-cursor=0") << option;
  }
  EXPECT_FALSE(desktop_->options().empty());
}

TEST_F(DesktopCopiersTest, ThePortalsFileAndItsRefusals) {
  // A desktop in Spanish: GLib escapes the folder's name in upper-case hex.
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("ostrel-portal-" + std::to_string(getpid())) /
      "Im\xC3\xA1genes";
  std::filesystem::create_directories(folder);
  Image picture(2 * kWidth, kHeight);
  for (int output = 0; output < 2; ++output) {
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) picture.At(output * kWidth + x, y) = PixelOf(output, x, y);
    }
  }
  const std::vector<std::uint8_t> png = EncodePng(picture, PixelFormat{});
  const std::filesystem::path file = folder / "Captura de pantalla.png";
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  const std::string uri = "file://" + folder.parent_path().string() +
                          "/Im%C3%A1genes/Captura%20de%20pantalla.png";

  const auto portal = MakePortalScreenCopier(*desktop_bus_, waiter_);
  const std::vector<ScreenCopyTarget> targets = Targets();
  desktop_->SetPortal(0, uri);
  const ScreenCopyOutcome copied = portal->Copy({&frame_, nullptr, 0}, targets, Clock::now() + 5s);
  EXPECT_EQ(copied.kind, ScreenCopyOutcome::Kind::kCopied) << copied.why;
  EXPECT_TRUE(Shows(0) && Shows(1));
  EXPECT_FALSE(std::filesystem::exists(file)) << "the picture stayed among the user's files";

  // 1: the user cancelled the question; 2: refused. Both end the run with
  // how to allow it.
  for (const std::uint32_t response : {1U, 2U}) {
    desktop_->SetPortal(response, "");
    try {
      portal->Copy({&frame_, nullptr, 0}, targets, Clock::now() + 5s);
      ADD_FAILURE() << "answer " << response << " was taken for a picture";
    } catch (const PlatformError& failure) {
      EXPECT_NE(std::string(failure.what()).find("SetPermission"), std::string::npos)
          << failure.what();
    }
  }
  std::filesystem::remove_all(folder.parent_path());
}

TEST_F(DesktopCopiersTest, GnomesScreenCastGivesWayAndStopsItsSession) {
  // No PipeWire to connect to: its runtime folder is empty.
  const std::filesystem::path runtime =
      std::filesystem::temp_directory_path() / ("ostrel-no-pipewire-" + std::to_string(getpid()));
  std::filesystem::create_directories(runtime);
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  setenv("PIPEWIRE_REMOTE", "ostrel-none", 1);
  const auto cast = MakeMutterScreenCaster(*desktop_bus_, waiter_);
  const std::vector<ScreenCopyTarget> targets = Targets();
  // Each monitor by its own connector, the cursor left out of the picture,
  // the top bar's recording dot rather than its "screen shared" pill.
  const std::string kRecordA = "RecordMonitor A cursor-mode=0 is-recording=1";
  const std::string kRecordB = "RecordMonitor B cursor-mode=0 is-recording=1";
  const struct {
    std::int32_t version;
    const char* refused;  // the session's call refused, if any
    const char* why;
    std::vector<std::string> calls;  // the session's, in order
  } cases[] = {
      {3, "", "version 3, older than 4", {}},
      // As while the screen is locked: no session, so none to stop.
      {4, "CreateSession", "refused a screen cast (org.freedesktop.DBus.Error.Failed: refused)",
       {"CreateSession"}},
      // The monitors are recorded while PipeWire is set up; the session is
      // stopped all the same, and a refusal is what is said.
      {4, "", "no PipeWire", {"CreateSession", kRecordA, kRecordB, "Start", "Stop"}},
      {4, "RecordMonitor", "would not record A (org.freedesktop.DBus.Error.Failed: refused)",
       {"CreateSession", kRecordA, kRecordB, "Start", "Stop"}},
      {4, "Start", "did not start (org.freedesktop.DBus.Error.Failed: refused)",
       {"CreateSession", kRecordA, kRecordB, "Start", "Stop"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    desktop_->SetCast(c.version, c.refused);
    const std::size_t before = desktop_->cast_calls().size();
    const ScreenCopyOutcome outcome = cast->Copy({&frame_, nullptr, 0}, targets, Clock::now() + 5s);
    EXPECT_EQ(outcome.kind, ScreenCopyOutcome::Kind::kNotHere);
    EXPECT_FALSE(outcome.failed_here) << "said although the way is not here";
    EXPECT_NE(outcome.why.find(c.why), std::string::npos) << outcome.why;
    // The Stop goes out with the bus's next dispatch; it has no answer.
    desktop_bus_->Get().Process();
    std::vector<std::string> calls;
    for (const TimePoint end = Clock::now() + 2s;
         (calls = desktop_->cast_calls()).size() < before + c.calls.size() && Clock::now() < end;) {
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(std::vector<std::string>(calls.begin() + static_cast<std::ptrdiff_t>(before), calls.end()), c.calls);
  }
  std::filesystem::remove_all(runtime);
}

// A way of the chain's own: answers as it is told and writes what it copies.
class ScriptedWay final : public ScreenCopier {
 public:
  explicit ScriptedWay(ScreenCopyOutcome outcome, int* calls)
      : outcome_(std::move(outcome)), calls_(calls) {}
  std::string_view Name() const override { return "a way"; }
  ScreenCopyOutcome Copy(const ScreenCopyDestination& frame, std::span<const ScreenCopyTarget>,
                         TimePoint) override {
    ++*calls_;
    frame.pixels->Fill(0x123456);  // what it wrote, whole or half
    return outcome_;
  }

 private:
  ScreenCopyOutcome outcome_;
  int* calls_;
};

TEST(ScreenCopyChain, TheNextWayOnlyWhenOneIsNotHere) {
  using Outcome = ScreenCopyOutcome;
  using Kind = ScreenCopyChain::Result::Kind;
  const struct {
    const char* what;
    Outcome first;
    Kind kind;
    int second_calls;
    std::uint32_t output_a, output_b;  // the frame afterwards
    const char* line;                  // the one line said, or none
  } cases[] = {
      {"copied", Outcome::Copied(), Kind::kWhole, 0, 0x123456, 0x123456, nullptr},
      {"every output failed: the next way, and a line",
       Outcome::OfOutputs({{0, "failed"}, {1, "failed"}}, 2), Kind::kWhole, 1, 0x123456,
       0x123456, "could not copy the screen (every output failed: failed; failed); a way copied"},
      {"absent: the next way, silently", Outcome::NotHere("absent"), Kind::kWhole, 1, 0x123456,
       0x123456, nullptr},
      {"one output failed: black there, no other way",
       Outcome::OfOutputs({{1, "failed"}}, 2), Kind::kPartly, 0, 0x123456, 0,
       "the screen copy of B failed (failed)"},
      {"an ending signal: nothing more", Outcome::Interrupted(), Kind::kInterrupted, 0, 0x123456,
       0x123456, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int first_calls = 0;
    int second_calls = 0;
    ScreenCopyChain chain;
    chain.Add(std::make_unique<ScriptedWay>(c.first, &first_calls));
    chain.Add(std::make_unique<ScriptedWay>(Outcome::Copied(), &second_calls));
    Image frame(2, 1);
    const std::vector<ScreenCopyTarget> targets = {{nullptr, "A", {0, 0, 1, 1}, 0},
                                                   {nullptr, "B", {1, 0, 1, 1}, 0}};
    const ScreenCopyChain::Result result = chain.Copy({&frame, nullptr, 0}, targets);
    EXPECT_EQ(result.kind, c.kind);
    ASSERT_EQ(result.lines.size(), c.line != nullptr ? 1U : 0U);
    if (c.line != nullptr) {
      EXPECT_NE(result.lines[0].find(c.line), std::string::npos) << result.lines[0];
    }
    EXPECT_EQ(first_calls, 1);
    EXPECT_EQ(second_calls, c.second_calls);
    EXPECT_EQ(frame.At(0, 0), c.output_a);
    EXPECT_EQ(frame.At(1, 0), c.output_b);
  }
  // None copies: black, and one line with each one's reason.
  int calls = 0;
  ScreenCopyChain chain;
  chain.Add(std::make_unique<ScriptedWay>(ScreenCopyOutcome::NotHere("no first"), &calls));
  chain.Add(std::make_unique<ScriptedWay>(ScreenCopyOutcome::NotHere("no second"), &calls));
  Image frame(1, 1);
  const std::vector<ScreenCopyTarget> one = {{nullptr, "A", {0, 0, 1, 1}, 0}};
  const ScreenCopyChain::Result none = chain.Copy({&frame, nullptr, 0}, one);
  EXPECT_EQ(none.kind, ScreenCopyChain::Result::Kind::kNone);
  EXPECT_EQ(frame.At(0, 0), 0U);
  ASSERT_EQ(none.lines.size(), 1U);
  EXPECT_NE(none.lines[0].find("no first; no second"), std::string::npos) << none.lines[0];
}

}  // namespace
}  // namespace ostrel
