// The holds followed over D-Bus, on private buses: the launcher's own
// org.freedesktop.ScreenSaver (a hold until the caller's own UnInhibit or
// its leaving;
// SimulateUserActivity; GetActive; queued behind a desktop that serves the
// name), and the desktops' services, stand-ins on a thread of their own
// (Xfce's power manager, KDE's policy agent, logind's BlockInhibited):
// asked, their changes followed, a service that leaves lets go, absent
// ones hold nothing.

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "../dbus/private_bus.h"
#include "idle/dbus/bus_link.h"
#include "idle/dbus/desktop_holds.h"
#include "idle/dbus/screensaver_service.h"

namespace ostrel {
namespace {

using std::chrono::milliseconds;

// What a source reported.
struct Told {
  std::vector<bool> changes;
  int activities = 0;
  HoldSource::Reports Reports() {
    return {.changed = [this](bool held) { changes.push_back(held); },
            .activity = [this] { ++activities; }};
  }
};

class BusHoldsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus_ = std::make_unique<ostrel::testing::PrivateBus>();
    if (bus_->address().empty()) GTEST_SKIP() << bus_->error();
    link_ = std::make_shared<BusLink>(dbus::Connection::OpenAddress(bus_->address()), waiter_,
                                      Waiter::Source::kSessionBus, "session bus");
  }
  void TearDown() override {
    source_.reset();
    clients_.clear();
    link_.reset();
  }

  // An application on the bus, served in the same wait as the sources.
  dbus::Connection& Client() {
    clients_.push_back({dbus::Connection::OpenAddress(bus_->address()), {}});
    clients_.back().watch = clients_.back().connection->WaitIn(waiter_, Waiter::Source::kSessionBus);
    return *clients_.back().connection;
  }
  // Calls the launcher's ScreenSaver and waits for the reply.
  dbus::Reply Call(dbus::Connection& client, const char* path, const char* member,
                   const std::function<void(sd_bus_message*)>& append = nullptr,
                   const char* destination = "org.freedesktop.ScreenSaver") {
    auto call = client.NewMethodCall(destination, path, "org.freedesktop.ScreenSaver", member);
    if (append) append(call.get());
    bool answered = false;
    dbus::Reply got;
    dbus::Message kept;
    dbus::Slot slot = client.CallAsync(call, std::chrono::seconds(5), [&](const dbus::Reply& r) {
      answered = true;
      got = r;
      kept = dbus::Message::Ref(r.message);
      got.message = kept.get();
      replies_.push_back(std::move(kept));
    });
    Run(milliseconds(5000), [&] { return answered; });
    return got;
  }
  bool Run(milliseconds limit, const std::function<bool()>& done = [] { return false; }) {
    return waiter_.WaitUntil(done, Clock::now() + limit) == Waiter::End::kDone;
  }
  // What the source answers when asked.
  bool Asked() {
    std::optional<bool> answer;
    source_->Ask([&](bool held) { answer = held; });
    EXPECT_TRUE(Run(milliseconds(5000), [&] { return answer.has_value(); })) << "no answer";
    return answer.value_or(false);
  }

  std::unique_ptr<ostrel::testing::PrivateBus> bus_;
  Waiter waiter_;
  std::shared_ptr<BusLink> link_;
  struct ClientConnection {
    std::unique_ptr<dbus::Connection> connection;
    Waiter::Registration watch;
  };
  std::vector<ClientConnection> clients_;
  std::vector<dbus::Message> replies_;
  std::unique_ptr<HoldSource> source_;
  Told told_;
};

const auto kInhibit = [](sd_bus_message* call) {
  sd_bus_message_append(call, "ss", "firefox-esr", "Playing video");
};

std::uint32_t Cookie(const dbus::Reply& reply) {
  std::uint32_t cookie = 0;
  if (!reply.ok() || sd_bus_message_read(reply.message, "u", &cookie) <= 0) return 0;
  return cookie;
}

TEST_F(BusHoldsTest, AHoldLastsUntilItsCallersOwnUnInhibit) {
  bool saver_active = false;
  source_ = std::make_unique<ScreenSaverService>(link_, told_.Reports(),
                                                 [&] { return saver_active; });
  dbus::Connection& browser = Client();
  dbus::Connection& other = Client();
  const std::uint32_t cookie = Cookie(Call(browser, "/org/freedesktop/ScreenSaver", "Inhibit", kInhibit));
  ASSERT_NE(cookie, 0U) << "no cookie";
  EXPECT_EQ(told_.changes, std::vector<bool>{true});
  EXPECT_TRUE(Asked());
  const auto uninhibit = [cookie](sd_bus_message* call) { sd_bus_message_append(call, "u", cookie); };
  EXPECT_FALSE(Call(other, "/ScreenSaver", "UnInhibit", uninhibit).ok())
      << "another caller ended the hold";
  EXPECT_TRUE(Asked());
  EXPECT_TRUE(Call(browser, "/ScreenSaver", "UnInhibit", uninhibit).ok());
  EXPECT_EQ(told_.changes, (std::vector<bool>{true, false}));
  EXPECT_FALSE(Asked());

  Call(other, "/ScreenSaver", "SimulateUserActivity");
  EXPECT_EQ(told_.activities, 1) << "SimulateUserActivity is input";
  for (const bool active : {false, true}) {
    saver_active = active;
    const dbus::Reply reply = Call(other, "/org/freedesktop/ScreenSaver", "GetActive");
    int said = -1;
    ASSERT_TRUE(reply.ok() && sd_bus_message_read(reply.message, "b", &said) > 0);
    EXPECT_EQ(said != 0, active) << "GetActive";
  }
}

TEST_F(BusHoldsTest, ACallerLeavingTheBusLetsGo) {
  source_ = std::make_unique<ScreenSaverService>(link_, told_.Reports(), [] { return false; });
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "the first caller" : "a later one");
    told_.changes.clear();
    auto leaving = dbus::Connection::OpenAddress(bus_->address());
    Waiter::Registration watch = leaving->WaitIn(waiter_, Waiter::Source::kSessionBus);
    const dbus::Reply reply = Call(*leaving, "/org/freedesktop/ScreenSaver", "Inhibit", kInhibit);
    EXPECT_NE(Cookie(reply), 0U);
    EXPECT_TRUE(Asked());
    watch.Reset();
    leaving.reset();
    EXPECT_TRUE(Run(milliseconds(5000), [&] {
      return told_.changes == std::vector<bool>{true, false};
    })) << "the hold outlived its caller";
    EXPECT_FALSE(Asked());
  }
}

TEST_F(BusHoldsTest, QueuedBehindADesktopThatServesTheNameUntilItLeaves) {
  auto desktop = dbus::Connection::OpenAddress(bus_->address());
  bool owned = false;
  dbus::Slot request = desktop->RequestName("org.freedesktop.ScreenSaver", 0,
                                            [&](const dbus::Reply& r) { owned = r.ok(); });
  Waiter::Registration desktop_watch = desktop->WaitIn(waiter_, Waiter::Source::kSessionBus);
  ASSERT_TRUE(Run(milliseconds(5000), [&] { return owned; }));
  source_ = std::make_unique<ScreenSaverService>(link_, told_.Reports(), [] { return false; });
  dbus::Connection& browser = Client();
  Call(browser, "/org/freedesktop/ScreenSaver", "Inhibit", kInhibit);
  EXPECT_FALSE(Asked()) << "the launcher kept a hold the desktop serves";
  request.Reset();
  desktop_watch.Reset();
  desktop.reset();
  Run(milliseconds(300));
  EXPECT_NE(Cookie(Call(browser, "/org/freedesktop/ScreenSaver", "Inhibit", kInhibit)), 0U)
      << "the name was not handed over";
  EXPECT_TRUE(Asked());
}

// Stand-ins for the desktops' services, served on a thread of their own.
class FakeServices {
 public:
  explicit FakeServices(const std::string& address) {
    bus_ = dbus::Connection::OpenAddress(address);
    sd_bus* bus = bus_->get();
    Check(sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/PowerManagement/Inhibit",
                                   "org.freedesktop.PowerManagement.Inhibit", kPowerTable, this));
    Check(sd_bus_add_object_vtable(bus, nullptr, "/org/kde/Solid/PowerManagement/PolicyAgent",
                                   "org.kde.Solid.PowerManagement.PolicyAgent", kPolicyTable, this));
    Check(sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/login1",
                                   "org.freedesktop.login1.Manager", kLogindTable, this));
    for (const char* name : {"org.freedesktop.PowerManagement",
                             "org.kde.Solid.PowerManagement.PolicyAgent", "org.freedesktop.login1"}) {
      Check(sd_bus_request_name(bus, name, 0));
    }
    thread_ = std::make_unique<ostrel::testing::ServiceThread>(
        std::vector<dbus::Connection*>{bus_.get()});
  }
  ~FakeServices() { thread_.reset(); }

  // Sets what each says, and sends the service's change signal.
  void PowerManager(bool held) {
    Set([&] { power_ = held; });
    thread_->Post([this, held] {
      sd_bus_emit_signal(bus_->get(), "/org/freedesktop/PowerManagement/Inhibit",
                         "org.freedesktop.PowerManagement.Inhibit", "HasInhibitChanged", "b",
                         held ? 1 : 0);
    });
  }
  void PolicyAgent(bool held) {
    Set([&] { policy_ = held; });
    thread_->Post([this] {
      sd_bus_emit_signal(bus_->get(), "/org/kde/Solid/PowerManagement/PolicyAgent",
                         "org.kde.Solid.PowerManagement.PolicyAgent", "InhibitionsChanged",
                         "a(ss)as", 0, 0);
    });
  }
  void Logind(const std::string& block_inhibited) {
    Set([&] { block_inhibited_ = block_inhibited; });
    thread_->Post([this] {
      sd_bus_emit_properties_changed(bus_->get(), "/org/freedesktop/login1",
                                     "org.freedesktop.login1.Manager", "BlockInhibited", nullptr);
    });
  }
  // The power manager ends (as a crash would).
  void PowerManagerLeaves() {
    thread_->Post([this] { sd_bus_release_name(bus_->get(), "org.freedesktop.PowerManagement"); });
  }
  std::vector<std::uint32_t> policies_asked() {
    std::lock_guard<std::mutex> lock(mutex_);
    return policies_asked_;
  }

 private:
  static void Check(int result) {
    if (result < 0) throw std::runtime_error("the stand-in services could not start");
  }
  static FakeServices* Self(void* userdata) { return static_cast<FakeServices*>(userdata); }
  void Set(const std::function<void()>& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change();
  }
  static int HasInhibit(sd_bus_message* call, void* userdata, sd_bus_error*) {
    std::lock_guard<std::mutex> lock(Self(userdata)->mutex_);
    return sd_bus_reply_method_return(call, "b", Self(userdata)->power_ ? 1 : 0);
  }
  static int HasInhibition(sd_bus_message* call, void* userdata, sd_bus_error*) {
    std::uint32_t policy = 0;
    sd_bus_message_read(call, "u", &policy);
    std::lock_guard<std::mutex> lock(Self(userdata)->mutex_);
    Self(userdata)->policies_asked_.push_back(policy);
    return sd_bus_reply_method_return(call, "b", Self(userdata)->policy_ ? 1 : 0);
  }
  static int BlockInhibited(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                            void* userdata, sd_bus_error*) {
    std::lock_guard<std::mutex> lock(Self(userdata)->mutex_);
    return sd_bus_message_append(reply, "s", Self(userdata)->block_inhibited_.c_str());
  }
  static constexpr sd_bus_vtable kPowerTable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("HasInhibit", "", "b", HasInhibit, 0),
      SD_BUS_SIGNAL("HasInhibitChanged", "b", 0),
      SD_BUS_VTABLE_END,
  };
  static constexpr sd_bus_vtable kPolicyTable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("HasInhibition", "u", "b", HasInhibition, 0),
      SD_BUS_SIGNAL("InhibitionsChanged", "a(ss)as", 0),
      SD_BUS_VTABLE_END,
  };
  // Real logind names the property as changed without its value
  // (invalidation) or with it: this one sends it with its value.
  static constexpr sd_bus_vtable kLogindTable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("BlockInhibited", "s", BlockInhibited, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_VTABLE_END,
  };

  std::unique_ptr<dbus::Connection> bus_;
  std::mutex mutex_;
  bool power_ = false;
  bool policy_ = false;
  std::string block_inhibited_ = "shutdown:sleep";
  std::vector<std::uint32_t> policies_asked_;
  std::unique_ptr<ostrel::testing::ServiceThread> thread_;
};

TEST_F(BusHoldsTest, DesktopServicesAreAskedAndTheirChangesFollowed) {
  const struct {
    const char* what;
    BusHold::Query (*query)();
    std::function<void(FakeServices&, bool)> hold;
  } cases[] = {
      {"Xfce's power manager (HasInhibit, HasInhibitChanged)", PowerManagementQuery,
       [](FakeServices& s, bool held) { s.PowerManager(held); }},
      {"KDE's policy agent (HasInhibition, InhibitionsChanged)", KdePolicyAgentQuery,
       [](FakeServices& s, bool held) { s.PolicyAgent(held); }},
      {"logind (BlockInhibited, PropertiesChanged)", LogindIdleQuery,
       [](FakeServices& s, bool held) { s.Logind(held ? "sleep:idle" : "sleep"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    told_ = Told{};
    FakeServices services(bus_->address());
    source_ = std::make_unique<BusHold>(link_, c.query(), told_.Reports());
    EXPECT_FALSE(Asked());
    c.hold(services, true);
    EXPECT_TRUE(Run(milliseconds(5000), [&] { return told_.changes == std::vector<bool>{true}; }))
        << "the change to held was not followed";
    EXPECT_TRUE(Asked());
    c.hold(services, false);
    EXPECT_TRUE(Run(milliseconds(5000), [&] { return told_.changes.size() == 2; }));
    EXPECT_EQ(told_.changes, (std::vector<bool>{true, false}));
    EXPECT_FALSE(Asked());
    if (c.query == KdePolicyAgentQuery) {
      for (const std::uint32_t policy : services.policies_asked()) {
        EXPECT_EQ(policy, 4U) << "not asked for ChangeScreenSettings";
      }
    }
    source_.reset();
  }
}

TEST_F(BusHoldsTest, APowerManagerThatLeavesLetsGo) {
  FakeServices services(bus_->address());
  services.PowerManager(true);
  source_ = std::make_unique<BusHold>(link_, PowerManagementQuery(), told_.Reports());
  ASSERT_TRUE(Run(milliseconds(5000), [&] { return told_.changes == std::vector<bool>{true}; }))
      << "what it held as the launcher started";
  services.PowerManagerLeaves();
  EXPECT_TRUE(Run(milliseconds(5000), [&] { return told_.changes.size() == 2; }));
  EXPECT_EQ(told_.changes, (std::vector<bool>{true, false}));
}

TEST_F(BusHoldsTest, AbsentServicesHoldNothing) {
  for (auto* query : {PowerManagementQuery, KdePolicyAgentQuery, LogindIdleQuery}) {
    source_ = std::make_unique<BusHold>(link_, query(), told_.Reports());
    const auto asked = Clock::now();
    EXPECT_FALSE(Asked());
    EXPECT_LT(Clock::now() - asked, milliseconds(1500)) << "an absent service was waited for";
  }
  EXPECT_TRUE(told_.changes.empty());
}

}  // namespace
}  // namespace ostrel
