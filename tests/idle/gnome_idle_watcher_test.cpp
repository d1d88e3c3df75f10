// The GNOME watcher against a stand-in for the desktop on two private buses
// (session and system), served on a thread of its own: mutter's idle monitor,
// the session manager's inhibitors, GNOME's screen shield, logind's lock. The
// saver is held off by each of them, and not by services that are absent or
// do not answer; the questions are asked again once an idle time while the
// user stays away; a returning user starts the next idle time afresh; a
// restarted monitor gets its watch again; a lost system bus holds nothing
// off, a lost session bus is the watcher's loss.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "idle/gnome/gnome_idle_watcher.h"
#include "platform/platform_error.h"
#include "../dbus/private_bus.h"

namespace ostrel {
namespace {

using std::chrono::milliseconds;

constexpr const char* kMonitor = "org.gnome.Mutter.IdleMonitor";
constexpr const char* kMonitorPath = "/org/gnome/Mutter/IdleMonitor/Core";

// The desktop's services. What they answer is set from the test's thread.
class FakeGnome {
 public:
  struct Answers {
    bool inhibited = false;
    bool shield_up = false;
    bool locked = false;
    bool session_manager_answers = true;
  };

  FakeGnome(const std::string& session_address, const std::string& system_address,
            bool with_session_manager, bool with_screensaver) {
    session_ = dbus::Connection::OpenAddress(session_address);
    system_ = dbus::Connection::OpenAddress(system_address);
    sd_bus* bus = session_->get();
    Check(sd_bus_add_object_vtable(bus, nullptr, kMonitorPath, kMonitor, kMonitorTable, this));
    Check(sd_bus_request_name(bus, kMonitor, 0));
    if (with_session_manager) {
      Check(sd_bus_add_object_vtable(bus, nullptr, "/org/gnome/SessionManager",
                                     "org.gnome.SessionManager", kSessionTable, this));
      Check(sd_bus_request_name(bus, "org.gnome.SessionManager", 0));
    }
    if (with_screensaver) {
      Check(sd_bus_add_object_vtable(bus, nullptr, "/org/gnome/ScreenSaver",
                                     "org.gnome.ScreenSaver", kShieldTable, this));
      Check(sd_bus_request_name(bus, "org.gnome.ScreenSaver", 0));
    }
    Check(sd_bus_add_object_vtable(system_->get(), nullptr, "/org/freedesktop/login1/session/auto",
                                   "org.freedesktop.login1.Session", kLogindTable, this));
    Check(sd_bus_request_name(system_->get(), "org.freedesktop.login1", 0));
    thread_ = std::make_unique<ostrel::testing::ServiceThread>(
        std::vector<dbus::Connection*>{session_.get(), system_.get()});
  }
  ~FakeGnome() { thread_.reset(); }
  FakeGnome(const FakeGnome&) = delete;
  FakeGnome& operator=(const FakeGnome&) = delete;

  void Set(const Answers& answers) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_ = answers;
  }
  // logind reads nothing more: its answers never come.
  void SilenceLogind() { thread_->Silence(system_.get()); }
  // Mutter's signal for a watch.
  void Fire(std::uint32_t id) {
    thread_->Post([this, id] {
      sd_bus_emit_signal(session_->get(), kMonitorPath, kMonitor, "WatchFired", "u", id);
    });
  }
  // The monitor leaves the bus and comes back (gnome-shell restarted).
  void Restart() {
    thread_->Post([this] {
      sd_bus_release_name(session_->get(), kMonitor);
      sd_bus_request_name(session_->get(), kMonitor, 0);
    });
  }
  std::vector<std::uint64_t> idle_watches() {
    std::lock_guard<std::mutex> lock(mutex_);
    return idle_watches_;
  }
  std::uint32_t last_id() {
    std::lock_guard<std::mutex> lock(mutex_);
    return next_id_ - 1;
  }
  int active_watches() {
    std::lock_guard<std::mutex> lock(mutex_);
    return active_watches_;
  }
  std::vector<std::uint32_t> inhibit_flags() {
    std::lock_guard<std::mutex> lock(mutex_);
    return inhibit_flags_;
  }

 private:
  static void Check(int result) {
    if (result < 0) throw std::runtime_error("the fake desktop could not start");
  }
  static FakeGnome* Self(void* userdata) { return static_cast<FakeGnome*>(userdata); }

  static int AddIdleWatch(sd_bus_message* call, void* userdata, sd_bus_error*) {
    std::uint64_t interval = 0;
    sd_bus_message_read(call, "t", &interval);
    std::lock_guard<std::mutex> lock(Self(userdata)->mutex_);
    Self(userdata)->idle_watches_.push_back(interval);
    return sd_bus_reply_method_return(call, "u", Self(userdata)->next_id_++);
  }
  static int AddUserActiveWatch(sd_bus_message* call, void* userdata, sd_bus_error*) {
    std::lock_guard<std::mutex> lock(Self(userdata)->mutex_);
    ++Self(userdata)->active_watches_;
    return sd_bus_reply_method_return(call, "u", Self(userdata)->next_id_++);
  }
  static int IsInhibited(sd_bus_message* call, void* userdata, sd_bus_error*) {
    std::uint32_t flags = 0;
    sd_bus_message_read(call, "u", &flags);
    std::lock_guard<std::mutex> lock(Self(userdata)->mutex_);
    Self(userdata)->inhibit_flags_.push_back(flags);
    if (!Self(userdata)->answers_.session_manager_answers) {
      Self(userdata)->unanswered_.push_back(dbus::Message::Ref(call));
      return 1;
    }
    return sd_bus_reply_method_return(call, "b", Self(userdata)->answers_.inhibited ? 1 : 0);
  }
  static int GetActive(sd_bus_message* call, void* userdata, sd_bus_error*) {
    std::lock_guard<std::mutex> lock(Self(userdata)->mutex_);
    return sd_bus_reply_method_return(call, "b", Self(userdata)->answers_.shield_up ? 1 : 0);
  }
  static int LockedHint(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                        void* userdata, sd_bus_error*) {
    std::lock_guard<std::mutex> lock(Self(userdata)->mutex_);
    return sd_bus_message_append(reply, "b", Self(userdata)->answers_.locked ? 1 : 0);
  }

  static constexpr sd_bus_vtable kMonitorTable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("AddIdleWatch", "t", "u", AddIdleWatch, 0),
      SD_BUS_METHOD("AddUserActiveWatch", "", "u", AddUserActiveWatch, 0),
      SD_BUS_SIGNAL("WatchFired", "u", 0),
      SD_BUS_VTABLE_END,
  };
  static constexpr sd_bus_vtable kSessionTable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("IsInhibited", "u", "b", IsInhibited, 0),
      SD_BUS_VTABLE_END,
  };
  static constexpr sd_bus_vtable kShieldTable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("GetActive", "", "b", GetActive, 0),
      SD_BUS_VTABLE_END,
  };
  static constexpr sd_bus_vtable kLogindTable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("LockedHint", "b", LockedHint, 0, 0),
      SD_BUS_VTABLE_END,
  };

  std::unique_ptr<dbus::Connection> session_;
  std::unique_ptr<dbus::Connection> system_;
  std::mutex mutex_;
  Answers answers_;
  std::vector<std::uint64_t> idle_watches_;
  std::vector<std::uint32_t> inhibit_flags_;
  std::vector<dbus::Message> unanswered_;
  int active_watches_ = 0;
  std::uint32_t next_id_ = 1;
  std::unique_ptr<ostrel::testing::ServiceThread> thread_;
};

class GnomeIdleWatcherTest : public ::testing::Test {
 protected:
  static constexpr milliseconds kAfter{300};

  void SetUp() override {
    session_bus_ = std::make_unique<ostrel::testing::PrivateBus>();
    system_bus_ = std::make_unique<ostrel::testing::PrivateBus>();
    if (session_bus_->address().empty()) GTEST_SKIP() << session_bus_->error();
  }
  void TearDown() override {
    watcher_.reset();
    gnome_.reset();
  }

  IdleWatcher::Reports Reports() {
    return {.idle = [this] { ++idle_reports_; },
            .active = [this] { ++active_reports_; },
            .lost = [this](const std::string& why) { lost_ = why; }};
  }

  // The fake desktop and the watcher on it; false with the reason when the
  // watcher does not open.
  bool Open(bool with_session_manager = true, bool with_screensaver = true,
            bool with_system = true) {
    gnome_ = std::make_unique<FakeGnome>(session_bus_->address(), system_bus_->address(),
                                         with_session_manager, with_screensaver);
    auto session = dbus::Connection::OpenAddress(session_bus_->address());
    auto system = with_system ? dbus::Connection::OpenAddress(system_bus_->address()) : nullptr;
    try {
      watcher_ = GnomeIdleWatcher::OpenOn(waiter_, std::move(session), std::move(system), kAfter,
                                          Reports());
    } catch (const PlatformError& failure) {
      open_error_ = failure.what();
    }
    return watcher_ != nullptr;
  }

  // Drives the watcher as the launcher's wait does, for `limit` or until
  // `done`.
  bool Run(milliseconds limit, const std::function<bool()>& done = [] { return false; }) {
    return waiter_.WaitUntil(done, Clock::now() + limit) == Waiter::End::kDone;
  }
  bool ReportedWithin(milliseconds limit, int count = 1) {
    return Run(limit, [&] { return idle_reports_ >= count; });
  }

  std::unique_ptr<ostrel::testing::PrivateBus> session_bus_;
  std::unique_ptr<ostrel::testing::PrivateBus> system_bus_;
  std::unique_ptr<FakeGnome> gnome_;
  Waiter waiter_;
  std::unique_ptr<GnomeIdleWatcher> watcher_;
  std::string open_error_;
  std::string lost_;
  int idle_reports_ = 0;
  int active_reports_ = 0;
};

TEST_F(GnomeIdleWatcherTest, WithoutTheMonitorItDoesNotOpen) {
  auto session = dbus::Connection::OpenAddress(session_bus_->address());
  try {
    GnomeIdleWatcher::OpenOn(waiter_, std::move(session), nullptr, kAfter, Reports());
    ADD_FAILURE() << "opened without a monitor";
  } catch (const PlatformError& failure) {
    EXPECT_NE(std::string(failure.what()).find("no GNOME idle monitor"), std::string::npos)
        << failure.what();
  }
}

TEST_F(GnomeIdleWatcherTest, AFiredIdleWatchIsReportedWhenNothingHoldsTheSaverOff) {
  ASSERT_TRUE(Open()) << open_error_;
  EXPECT_EQ(gnome_->idle_watches(), std::vector<std::uint64_t>{300}) << "the watch is --after";
  const std::uint32_t id = gnome_->last_id();
  gnome_->Fire(id + 100);  // some other client's watch
  Run(milliseconds(300));
  EXPECT_EQ(idle_reports_, 0);
  gnome_->Fire(id);
  EXPECT_TRUE(ReportedWithin(milliseconds(5000)));
  EXPECT_EQ(gnome_->inhibit_flags(), std::vector<std::uint32_t>{8}) << "the idle inhibit flag";
  Run(milliseconds(2 * kAfter));
  EXPECT_EQ(idle_reports_, 1) << "reported once";
}

TEST_F(GnomeIdleWatcherTest, EachHolderHoldsTheSaverOffUntilItLetsGo) {
  const struct {
    const char* what;
    FakeGnome::Answers answers;
  } cases[] = {
      {"an idle inhibitor", {.inhibited = true}},
      {"GNOME's shield up", {.shield_up = true}},
      {"the session locked", {.locked = true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    idle_reports_ = 0;
    ASSERT_TRUE(Open()) << open_error_;
    gnome_->Set(c.answers);
    gnome_->Fire(gnome_->last_id());
    Run(milliseconds(3 * kAfter));
    EXPECT_EQ(idle_reports_, 0) << "reported although held off";
    EXPECT_EQ(gnome_->active_watches(), 1) << "the user's return is watched for, once";
    // Asked again once an idle time: 1 + 3 in three idle times, give or take one.
    const std::size_t asked = gnome_->inhibit_flags().size();
    EXPECT_GE(asked, 3U) << "not asked again while held off";
    EXPECT_LE(asked, 5U) << "asked more often than once an idle time";
    // Let go: the next question, one idle time later, starts the saver.
    gnome_->Set({});
    EXPECT_TRUE(ReportedWithin(milliseconds(5000)));
    watcher_.reset();
    gnome_.reset();
  }
}

TEST_F(GnomeIdleWatcherTest, AReturningUserStartsTheNextIdleTimeAfresh) {
  ASSERT_TRUE(Open()) << open_error_;
  const std::uint32_t idle_id = gnome_->last_id();
  gnome_->Set({.inhibited = true});
  gnome_->Fire(idle_id);
  ASSERT_TRUE(Run(milliseconds(5000), [&] { return gnome_->active_watches() == 1; }));
  Run(milliseconds(100));  // the active watch's id arrives
  gnome_->Fire(gnome_->last_id());  // the user is back
  Run(milliseconds(100));
  gnome_->Set({});
  Run(milliseconds(3 * kAfter));
  EXPECT_EQ(idle_reports_, 0) << "asked again after the user came back";
  gnome_->Fire(idle_id);
  EXPECT_TRUE(ReportedWithin(milliseconds(5000)));
}

TEST_F(GnomeIdleWatcherTest, TheUsersReturnAfterAReportIsReported) {
  // The launcher's other holds wait for the user's return to end the idle time.
  ASSERT_TRUE(Open()) << open_error_;
  gnome_->Fire(gnome_->last_id());
  ASSERT_TRUE(ReportedWithin(milliseconds(5000)));
  ASSERT_TRUE(Run(milliseconds(5000), [&] { return gnome_->active_watches() == 1; }))
      << "the user's return is not watched for after a report";
  Run(milliseconds(100));  // the active watch's id arrives
  gnome_->Fire(gnome_->last_id());
  EXPECT_TRUE(Run(milliseconds(5000), [&] { return active_reports_ == 1; }));
}

TEST_F(GnomeIdleWatcherTest, AbsentServicesHoldNothingOff) {
  ASSERT_TRUE(Open(/*with_session_manager=*/false, /*with_screensaver=*/false,
                   /*with_system=*/false))
      << open_error_;
  gnome_->Fire(gnome_->last_id());
  EXPECT_TRUE(ReportedWithin(milliseconds(5000)));
}

TEST_F(GnomeIdleWatcherTest, AServiceThatIsNotRunningIsNotStartedForTheQuestion) {
  // The bus could start a screen saver service to answer GetActive.
  const std::string started = session_bus_->services() + "/started";
  std::ofstream(session_bus_->services() + "/org.gnome.ScreenSaver.service")
      << "[D-BUS Service]\nName=org.gnome.ScreenSaver\nExec=/bin/touch " << started << "\n";
  ASSERT_TRUE(Open(/*with_session_manager=*/true, /*with_screensaver=*/false)) << open_error_;
  gnome_->Fire(gnome_->last_id());
  EXPECT_TRUE(ReportedWithin(milliseconds(5000)));
  Run(milliseconds(300));
  EXPECT_FALSE(std::filesystem::exists(started)) << "the question started the service";
}

TEST_F(GnomeIdleWatcherTest, ASessionManagerThatNeverAnswersHoldsNothingOff) {
  ASSERT_TRUE(Open()) << open_error_;
  gnome_->Set({.session_manager_answers = false});
  gnome_->Fire(gnome_->last_id());
  const auto fired = Clock::now();
  EXPECT_TRUE(ReportedWithin(milliseconds(10000)));
  EXPECT_GE(Clock::now() - fired, milliseconds(1500)) << "reported before the question timed out";
}

TEST_F(GnomeIdleWatcherTest, ARestartedMonitorGetsItsWatchAgain) {
  ASSERT_TRUE(Open()) << open_error_;
  const std::uint32_t old_id = gnome_->last_id();
  gnome_->Restart();
  ASSERT_TRUE(Run(milliseconds(5000), [&] { return gnome_->idle_watches().size() == 2; }))
      << "no new idle watch after the monitor came back";
  Run(milliseconds(100));
  gnome_->Fire(old_id);
  Run(milliseconds(300));
  EXPECT_EQ(idle_reports_, 0) << "the old watch died with the old monitor";
  gnome_->Fire(gnome_->last_id());
  EXPECT_TRUE(ReportedWithin(milliseconds(5000)));
}

TEST_F(GnomeIdleWatcherTest, ASystemBusLostWhileAskedHoldsNothingOff) {
  ASSERT_TRUE(Open()) << open_error_;
  gnome_->SilenceLogind();
  gnome_->Fire(gnome_->last_id());
  Run(milliseconds(200));
  EXPECT_EQ(idle_reports_, 0) << "reported before logind answered";
  system_bus_->Kill();
  const auto lost = Clock::now();
  EXPECT_TRUE(ReportedWithin(milliseconds(5000)));
  EXPECT_LT(Clock::now() - lost, milliseconds(1500)) << "the lost bus's question was waited for";
  EXPECT_EQ(lost_, "") << "the session is still watched";
}

TEST_F(GnomeIdleWatcherTest, ALostSessionBusIsTheWatchersLoss) {
  ASSERT_TRUE(Open()) << open_error_;
  session_bus_->Kill();
  EXPECT_TRUE(Run(milliseconds(5000), [&] { return !lost_.empty(); }));
  EXPECT_EQ(waiter_.Count(Waiter::Source::kSessionBus), 0) << "its bus left the wait";
}

}  // namespace
}  // namespace ostrel
