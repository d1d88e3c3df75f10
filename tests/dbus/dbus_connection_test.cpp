// The sd-bus wrapper against a private dbus-daemon and a small service on
// its own thread: replies, errors and timeouts; cancelled calls; a signal
// match sent just before the call that causes the signal (the portal's
// Request/Response pattern); a pipe passed to the service (KWin's screenshot
// pattern); handlers' exceptions; the blocking start-up call; a lost bus.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/dbus/dbus_connection.h"
#include "platform/platform_error.h"
#include "private_bus.h"

namespace ostrel {
namespace {

using std::chrono::milliseconds;
using ostrel::testing::PumpUntil;

constexpr const char* kName = "org.ostrel.Test";
constexpr const char* kPath = "/org/ostrel/Test";
constexpr const char* kInterface = "org.ostrel.Test";

// org.ostrel.Test on its own connection and thread:
//   Echo(s) -> s; Fail() -> the error org.ostrel.Test.Failed; Never() -> no reply;
//   Request(s token) -> o: emits Response(u 7) on that object *before* replying;
//   WriteTo(h fd, s text): writes the text into the descriptor.
class TestService {
 public:
  explicit TestService(const std::string& address)
      : connection_(dbus::Connection::OpenAddress(address)) {
    sd_bus* bus = connection_->get();
    if (sd_bus_add_object_vtable(bus, nullptr, kPath, kInterface, kVtable, this) < 0 ||
        sd_bus_request_name(bus, kName, 0) < 0) {
      throw std::runtime_error("the test service could not start");
    }
    thread_ = std::make_unique<ostrel::testing::ServiceThread>(
        std::vector<dbus::Connection*>{connection_.get()});
  }
  ~TestService() { thread_.reset(); }
  TestService(const TestService&) = delete;
  TestService& operator=(const TestService&) = delete;

 private:
  static int Echo(sd_bus_message* call, void*, sd_bus_error*) {
    const char* text = nullptr;
    const int r = sd_bus_message_read(call, "s", &text);
    return r < 0 ? r : sd_bus_reply_method_return(call, "s", text);
  }
  static int Fail(sd_bus_message* call, void*, sd_bus_error*) {
    return sd_bus_reply_method_errorf(call, "org.ostrel.Test.Failed", "asked to fail");
  }
  static int Never(sd_bus_message* call, void* userdata, sd_bus_error*) {
    // Kept unanswered for as long as the service lives.
    static_cast<TestService*>(userdata)->unanswered_.push_back(dbus::Message::Ref(call));
    return 1;
  }
  static int Request(sd_bus_message* call, void*, sd_bus_error*) {
    const char* token = nullptr;
    int r = sd_bus_message_read(call, "s", &token);
    if (r < 0) return r;
    const std::string path = std::string(kPath) + "/request/" + token;
    r = sd_bus_emit_signal(sd_bus_message_get_bus(call), path.c_str(), kInterface, "Response",
                           "u", 7U);
    return r < 0 ? r : sd_bus_reply_method_return(call, "o", path.c_str());
  }
  static int WriteTo(sd_bus_message* call, void*, sd_bus_error*) {
    int fd = -1;
    const char* text = nullptr;
    const int r = sd_bus_message_read(call, "hs", &fd, &text);
    if (r < 0) return r;
    const std::string data = text;
    if (write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) return -EIO;
    return sd_bus_reply_method_return(call, "");
  }

  static constexpr sd_bus_vtable kVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Echo", "s", "s", Echo, 0),
      SD_BUS_METHOD("Fail", "", "", Fail, 0),
      SD_BUS_METHOD("Never", "", "", Never, 0),
      SD_BUS_METHOD("Request", "s", "o", Request, 0),
      SD_BUS_METHOD("WriteTo", "hs", "", WriteTo, 0),
      SD_BUS_SIGNAL("Response", "u", 0),
      SD_BUS_VTABLE_END,
  };

  std::unique_ptr<dbus::Connection> connection_;
  std::vector<dbus::Message> unanswered_;
  std::unique_ptr<ostrel::testing::ServiceThread> thread_;
};

class DbusConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus_ = std::make_unique<ostrel::testing::PrivateBus>();
    if (bus_->address().empty()) GTEST_SKIP() << bus_->error();
    service_ = std::make_unique<TestService>(bus_->address());
    client_ = dbus::Connection::OpenAddress(bus_->address());
  }
  void TearDown() override {
    client_.reset();
    service_.reset();
    bus_.reset();
  }

  dbus::Message Method(const char* member) {
    return client_->NewMethodCall(kName, kPath, kInterface, member);
  }
  // Calls and pumps until the reply (or the timeout's error) came.
  std::optional<dbus::Reply> CallAndPump(const dbus::Message& call, milliseconds timeout,
                                         std::string* text = nullptr) {
    std::optional<dbus::Reply> got;
    auto slot = client_->CallAsync(call, timeout, [&](const dbus::Reply& reply) {
      got = reply;
      got->message = nullptr;  // borrowed only for the call
      const char* value = nullptr;
      if (reply.ok() && text != nullptr && sd_bus_message_read(reply.message, "s", &value) > 0) {
        *text = value;
      }
    });
    PumpUntil({client_.get()}, [&] { return got.has_value(); });
    return got;
  }

  std::unique_ptr<ostrel::testing::PrivateBus> bus_;
  std::unique_ptr<TestService> service_;
  std::unique_ptr<dbus::Connection> client_;
};

TEST_F(DbusConnectionTest, RepliesAndErrorsOfAsynchronousCalls) {
  struct Case {
    const char* what;
    std::function<dbus::Message()> call;
    milliseconds timeout;
    std::string error_name;  // empty: a reply
  };
  const std::vector<Case> cases = {
      {"a reply",
       [&] {
         auto m = Method("Echo");
         sd_bus_message_append(m.get(), "s", "hello");
         return m;
       },
       milliseconds(5000), ""},
      {"an error the service sends", [&] { return Method("Fail"); }, milliseconds(5000),
       "org.ostrel.Test.Failed"},
      {"no reply within the timeout", [&] { return Method("Never"); }, milliseconds(200),
       "org.freedesktop.DBus.Error.NoReply"},
      {"a method the service lacks", [&] { return Method("Absent"); }, milliseconds(5000),
       "org.freedesktop.DBus.Error.UnknownMethod"},
      {"a name nobody owns",
       [&] { return client_->NewMethodCall("org.ostrel.Nobody", kPath, kInterface, "Echo"); },
       milliseconds(5000), "org.freedesktop.DBus.Error.ServiceUnknown"},
  };
  for (const Case& c : cases) {
    std::string text;
    const auto reply = CallAndPump(c.call(), c.timeout, &text);
    ASSERT_TRUE(reply.has_value()) << c.what << ": no answer at all";
    EXPECT_EQ(reply->error_name, c.error_name) << c.what << ": " << reply->error_message;
    if (c.error_name.empty()) {
      EXPECT_EQ(text, "hello") << c.what;
    }
  }
}

TEST_F(DbusConnectionTest, TheTimeoutIsTheDeadlineToPollFor) {
  // Until the bus has answered the connection's hello, the deadline is the
  // hello's: one round trip first.
  ASSERT_TRUE(CallAndPump(Method("Fail"), milliseconds(5000)).has_value());
  bool answered = false;
  const auto before = Clock::now();
  auto slot = client_->CallAsync(Method("Never"), milliseconds(300),
                                 [&](const dbus::Reply&) { answered = true; });
  const auto deadline = client_->Deadline();
  ASSERT_TRUE(deadline.has_value()) << "a pending call must give the loop a deadline";
  EXPECT_LE(*deadline, before + milliseconds(300) + milliseconds(50));
  EXPECT_GE(*deadline, before + milliseconds(250));
  PumpUntil({client_.get()}, [&] { return answered; });
  EXPECT_TRUE(answered);
}

TEST_F(DbusConnectionTest, AFreedSlotCancelsItsCall) {
  bool called = false;
  auto slot = client_->CallAsync(Method("Fail"), milliseconds(5000),
                                 [&](const dbus::Reply&) { called = true; });
  slot.Reset();
  // A later call's reply comes after the cancelled one's would have.
  std::string text;
  auto echo = Method("Echo");
  sd_bus_message_append(echo.get(), "s", "after");
  ASSERT_TRUE(CallAndPump(echo, milliseconds(5000), &text).has_value());
  EXPECT_EQ(text, "after");
  EXPECT_FALSE(called);
}

TEST_F(DbusConnectionTest, AMatchSentJustBeforeTheCallSeesTheSignalTheCallCauses) {
  // The portal's pattern: the signal may come before the method's reply.
  const std::string path = std::string(kPath) + "/request/t1";
  std::vector<std::uint32_t> responses;
  auto match = client_->MatchSignal(kName, path.c_str(), kInterface, "Response",
                                    [&](sd_bus_message* signal) {
                                      std::uint32_t code = 0;
                                      sd_bus_message_read(signal, "u", &code);
                                      responses.push_back(code);
                                    });
  auto call = Method("Request");
  sd_bus_message_append(call.get(), "s", "t1");
  bool replied = false;
  auto slot = client_->CallAsync(call, milliseconds(5000), [&](const dbus::Reply& reply) {
    EXPECT_TRUE(reply.ok()) << reply.error_message;
    EXPECT_EQ(responses.size(), 1U) << "the signal is dispatched before the reply that follows it";
    replied = true;
  });
  ASSERT_TRUE(PumpUntil({client_.get()}, [&] { return replied; }));
  EXPECT_EQ(responses, std::vector<std::uint32_t>{7});

  // Another request's signal, on another path, is not this match's.
  match.Reset();
  auto other = client_->MatchSignal(kName, nullptr, kInterface, "Response",
                                    [&](sd_bus_message*) { responses.push_back(0); });
  auto again = Method("Request");
  sd_bus_message_append(again.get(), "s", "t2");
  ASSERT_TRUE(CallAndPump(again, milliseconds(5000)).has_value());
  EXPECT_EQ(responses, (std::vector<std::uint32_t>{7, 0})) << "a freed match still fired";
}

TEST_F(DbusConnectionTest, APipePassedToTheServiceCarriesItsWriting) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  auto call = Method("WriteTo");
  sd_bus_message_append(call.get(), "hs", fds[1], "pixels");
  close(fds[1]);  // the message holds its own copy
  const auto reply = CallAndPump(call, milliseconds(5000));
  ASSERT_TRUE(reply.has_value());
  EXPECT_TRUE(reply->ok()) << reply->error_name << " " << reply->error_message;
  char data[16] = {};
  EXPECT_EQ(read(fds[0], data, sizeof data), 6);
  EXPECT_STREQ(data, "pixels");
  close(fds[0]);
}

TEST_F(DbusConnectionTest, AHandlersExceptionIsThrownAfterTheDispatchAndTheConnectionGoesOn) {
  auto slot = client_->CallAsync(Method("Fail"), milliseconds(5000), [](const dbus::Reply&) {
    throw std::runtime_error("the handler's own failure");
  });
  EXPECT_THROW(
      {
        try {
          PumpUntil({client_.get()}, [] { return false; });
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "the handler's own failure");
          throw;
        }
      },
      std::runtime_error);
  std::string text;
  auto echo = Method("Echo");
  sd_bus_message_append(echo.get(), "s", "still here");
  ASSERT_TRUE(CallAndPump(echo, milliseconds(5000), &text).has_value());
  EXPECT_EQ(text, "still here");
}

TEST_F(DbusConnectionTest, AHandlerMayFreeItsOwnSlot) {
  dbus::Slot match;
  int calls = 0;
  match = client_->MatchSignal(kName, nullptr, kInterface, "Response", [&](sd_bus_message*) {
    ++calls;
    match.Reset();
  });
  for (const char* token : {"a", "b"}) {
    auto call = Method("Request");
    sd_bus_message_append(call.get(), "s", token);
    ASSERT_TRUE(CallAndPump(call, milliseconds(5000)).has_value());
  }
  EXPECT_EQ(calls, 1);
}

TEST_F(DbusConnectionTest, TheBlockingCallKeepsItsDeadlineAndDispatchesWhatArrivesMeanwhile) {
  auto echo = Method("Echo");
  sd_bus_message_append(echo.get(), "s", "sync");
  const dbus::Message reply = client_->Call(echo, milliseconds(5000));
  const char* text = nullptr;
  ASSERT_GT(sd_bus_message_read(reply.get(), "s", &text), 0);
  EXPECT_STREQ(text, "sync");

  try {
    client_->Call(Method("Never"), milliseconds(200));
    ADD_FAILURE() << "a call without an answer did not fail";
  } catch (const PlatformError& failure) {
    EXPECT_NE(std::string(failure.what()).find("org.freedesktop.DBus.Error.NoReply"),
              std::string::npos)
        << failure.what();
  }

  // The signal the call causes arrives while it waits: it goes to its handler.
  int responses = 0;
  auto match = client_->MatchSignal(kName, nullptr, kInterface, "Response",
                                    [&](sd_bus_message*) { ++responses; });
  auto request = Method("Request");
  sd_bus_message_append(request.get(), "s", "sync");
  client_->Call(request, milliseconds(5000));
  EXPECT_EQ(responses, 1);
}

TEST(DbusConnection, TheBlockingCallGivesUpOnABusThatNeverGreets) {
  // A socket that accepts the connection and never answers.
  char folder[] = "/tmp/ostrel-silent-bus-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/bus";
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  auto connection = dbus::Connection::OpenAddress("unix:path=" + path);
  auto call = connection->NewMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                        "org.freedesktop.DBus", "GetId");
  const auto before = Clock::now();
  try {
    connection->Call(call, milliseconds(300));
    ADD_FAILURE() << "a bus that never greets answered";
  } catch (const PlatformError& failure) {
    EXPECT_NE(std::string(failure.what()).find("NoReply"), std::string::npos) << failure.what();
  }
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(5)) << "the deadline was not kept";
  const auto closing = Clock::now();
  connection.reset();
  EXPECT_LT(Clock::now() - closing, std::chrono::seconds(5)) << "closing waited for the bus";
  close(listener);
  unlink(path.c_str());
  rmdir(folder);
}

TEST_F(DbusConnectionTest, ALostBusIsAPlatformError) {
  bool answered = false;
  auto slot = client_->CallAsync(Method("Never"), milliseconds(60000),
                                 [&](const dbus::Reply&) { answered = true; });
  client_->Process();
  bus_->Kill();
  EXPECT_THROW(PumpUntil({client_.get()}, [] { return false; }), PlatformError);
}

TEST(DbusConnection, AnAddressWhereNoBusListensIsRefusedWithItsReason) {
  std::unique_ptr<dbus::Connection> connection;
  try {
    connection = dbus::Connection::OpenAddress("unix:path=/nonexistent/ostrel-bus");
  } catch (const PlatformError& failure) {
    EXPECT_NE(std::string(failure.what()).find("/nonexistent/ostrel-bus"), std::string::npos)
        << failure.what();
    return;
  }
  // sd-bus may report the refusal only when the connection is used.
  EXPECT_THROW(PumpUntil({connection.get()}, [] { return false; }, milliseconds(2000)),
               PlatformError);
}

}  // namespace
}  // namespace ostrel
