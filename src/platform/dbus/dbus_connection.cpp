#include "platform/dbus/dbus_connection.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "platform/platform_error.h"

namespace ostrel::dbus {

std::string ErrnoText(int negative_errno) { return std::strerror(-negative_errno); }

namespace {

std::uint64_t Microseconds(Clock::duration duration) {
  const auto us = std::chrono::ceil<std::chrono::microseconds>(duration).count();
  // 0 would mean sd-bus's default timeout (25 s), not "at once".
  return us < 1 ? 1 : static_cast<std::uint64_t>(us);
}

std::string ErrorText(const sd_bus_error* error, int result) {
  if (error != nullptr && sd_bus_error_is_set(error)) {
    return std::string(error->name) + (error->message != nullptr ? std::string(": ") + error->message : "");
  }
  return ErrnoText(result);
}

}  // namespace

// --- Message ------------------------------------------------------------------------------------

Message Message::Adopt(sd_bus_message* message) {
  Message owned;
  owned.message_ = message;
  return owned;
}

Message Message::Ref(sd_bus_message* message) { return Adopt(sd_bus_message_ref(message)); }

Message::Message(Message&& other) noexcept : message_(std::exchange(other.message_, nullptr)) {}

Message& Message::operator=(Message&& other) noexcept {
  if (this != &other) {
    sd_bus_message_unref(message_);
    message_ = std::exchange(other.message_, nullptr);
  }
  return *this;
}

Message::~Message() { sd_bus_message_unref(message_); }

// --- Slot ---------------------------------------------------------------------------------------

Slot::Slot(Slot&& other) noexcept : slot_(std::exchange(other.slot_, nullptr)) {}

Slot& Slot::operator=(Slot&& other) noexcept {
  if (this != &other) {
    Reset();
    slot_ = std::exchange(other.slot_, nullptr);
  }
  return *this;
}

Slot::~Slot() { Reset(); }

void Slot::Reset() { slot_ = sd_bus_slot_unref(slot_); }

// --- Connection ---------------------------------------------------------------------------------

// What a slot calls back: owned by the slot, freed with it (OnSlotFreed).
struct Connection::Handler {
  Connection* connection;
  ReplyHandler on_reply;
  SignalHandler on_signal;
};

std::unique_ptr<Connection> Connection::Started(sd_bus* bus, int result, const std::string& what) {
  if (result < 0) {
    sd_bus_unref(bus);
    throw PlatformError("cannot connect to " + what + ": " + ErrnoText(result));
  }
  return std::unique_ptr<Connection>(new Connection(bus));
}

std::unique_ptr<Connection> Connection::OpenSession() {
  sd_bus* bus = nullptr;
  const int result = sd_bus_open_user(&bus);
  return Started(bus, result, "the session bus");
}

std::unique_ptr<Connection> Connection::OpenSystem() {
  sd_bus* bus = nullptr;
  const int result = sd_bus_open_system(&bus);
  return Started(bus, result, "the system bus");
}

std::unique_ptr<Connection> Connection::OpenAddress(const std::string& address) {
  sd_bus* bus = nullptr;
  int result = sd_bus_new(&bus);
  if (result < 0) throw PlatformError("cannot make a D-Bus connection: " + ErrnoText(result));
  result = sd_bus_set_address(bus, address.c_str());
  if (result >= 0) result = sd_bus_set_bus_client(bus, 1);
  if (result >= 0) result = sd_bus_start(bus);
  return Started(bus, result, "the bus at " + address);
}

// No flush: sd_bus_flush waits for a bus that has not greeted the connection
// yet (up to sd-bus's 90 s), and nothing sent at the end matters to the bus.
Connection::~Connection() { sd_bus_close_unref(bus_); }

Waiter::Registration Connection::WaitIn(Waiter& waiter, Waiter::Source source) {
  return waiter.Add(source, {.fd = sd_bus_get_fd(bus_),
                             .prepare = [this] { return PollFd().events; },
                             .due = [this] { return Deadline(); },
                             .ready = [this](short) { Process(); }});
}

pollfd Connection::PollFd() const {
  const int events = sd_bus_get_events(bus_);
  // A closed connection has no events to wait for; Process reports it.
  return pollfd{sd_bus_get_fd(bus_), static_cast<short>(events < 0 ? 0 : events), 0};
}

std::optional<TimePoint> Connection::Deadline() const {
  std::uint64_t usec = 0;
  if (sd_bus_get_timeout(bus_, &usec) < 0) return Clock::now();  // Process tells what is wrong
  if (usec == UINT64_MAX) return std::nullopt;
  // sd-bus's deadlines are CLOCK_MONOTONIC's, the clock's own.
  return TimePoint(std::chrono::microseconds(usec));
}

std::string Connection::UniqueName() const {
  const char* name = nullptr;
  if (sd_bus_get_unique_name(bus_, &name) < 0 || name == nullptr) return {};
  return name;
}

void Connection::Process() {
  for (;;) {
    const int result = sd_bus_process(bus_, nullptr);
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
    if (result == 0) return;
    if (result < 0) {
      throw PlatformError(result == -ECONNRESET || result == -ENOTCONN
                              ? std::string("the D-Bus connection was lost")
                              : "the D-Bus connection failed: " + ErrnoText(result));
    }
  }
}

Message Connection::NewMethodCall(const char* destination, const char* path,
                                  const char* interface, const char* member) {
  sd_bus_message* message = nullptr;
  const int result =
      sd_bus_message_new_method_call(bus_, &message, destination, path, interface, member);
  if (result < 0) {
    throw PlatformError(std::string("cannot make the D-Bus call ") + interface + "." + member +
                        ": " + ErrnoText(result));
  }
  return Message::Adopt(message);
}

Slot Connection::CallAsync(const Message& call, Clock::duration timeout, ReplyHandler handler) {
  auto* owned = new Handler{this, std::move(handler), nullptr};
  sd_bus_slot* slot = nullptr;
  const int result =
      sd_bus_call_async(bus_, &slot, call.get(), &Connection::OnReply, owned, Microseconds(timeout));
  if (result < 0) {
    delete owned;
    throw PlatformError(std::string("cannot send the D-Bus call ") +
                        sd_bus_message_get_member(call.get()) + ": " + ErrnoText(result));
  }
  sd_bus_slot_set_destroy_callback(slot, &Connection::OnSlotFreed);
  return Slot(slot);
}

Answer Connection::CallAndWait(const Message& call, Waiter& waiter, TimePoint deadline) {
  Answer answer;
  bool answered = false;
  const Slot slot = CallAsync(call, deadline - Clock::now(), [&](const Reply& got) {
    answered = true;
    if (got.ok()) {
      answer.reply = Message::Ref(got.message);
    } else {
      answer.error = got.error_name + (got.error_message.empty() ? "" : ": " + got.error_message);
    }
  });
  answer.end = waiter.WaitUntil([&] { return answered; }, deadline);
  return answer;
}

void Connection::Send(const Message& call) {
  sd_bus_message_set_expect_reply(call.get(), 0);
  const int result = sd_bus_send(bus_, call.get(), nullptr);
  if (result < 0) {
    throw PlatformError(std::string("cannot send the D-Bus call ") +
                        sd_bus_message_get_member(call.get()) + ": " + ErrnoText(result));
  }
}

Message Connection::Call(const Message& call, Clock::duration timeout) {
  const TimePoint end = Clock::now() + timeout;
  bool answered = false;
  Message reply;
  std::string error;
  Slot slot = CallAsync(call, timeout, [&](const Reply& got) {
    answered = true;
    if (got.ok()) {
      reply = Message::Ref(got.message);
    } else {
      error = got.error_name + (got.error_message.empty() ? "" : ": " + got.error_message);
    }
  });
  // sd-bus's own timeout counts only once the bus has greeted the connection:
  // this wait's deadline covers the greeting too.
  Waiter waiter;
  const Waiter::Registration watch = WaitIn(waiter, Waiter::Source::kSessionBus);
  Process();
  if (waiter.WaitUntil([&] { return answered; }, end) != Waiter::End::kDone) {
    throw PlatformError("org.freedesktop.DBus.Error.NoReply: the bus did not answer in time");
  }
  if (!error.empty()) throw PlatformError(error);
  return reply;
}

Slot Connection::MatchSignal(const char* sender, const char* path, const char* interface,
                             const char* member, SignalHandler handler) {
  auto* owned = new Handler{this, nullptr, std::move(handler)};
  sd_bus_slot* slot = nullptr;
  const int result = sd_bus_match_signal_async(bus_, &slot, sender, path, interface, member,
                                               &Connection::OnSignal,
                                               &Connection::OnMatchInstalled, owned);
  return Matched(slot, result, member, owned);
}

Slot Connection::MatchRule(const std::string& rule, SignalHandler handler) {
  auto* owned = new Handler{this, nullptr, std::move(handler)};
  sd_bus_slot* slot = nullptr;
  const int result = sd_bus_add_match_async(bus_, &slot, rule.c_str(), &Connection::OnSignal,
                                            &Connection::OnMatchInstalled, owned);
  return Matched(slot, result, rule.c_str(), owned);
}

Slot Connection::Serve(const char* path, const char* interface, const sd_bus_vtable* vtable,
                       void* userdata) {
  sd_bus_slot* slot = nullptr;
  const int result = sd_bus_add_object_vtable(bus_, &slot, path, interface, vtable, userdata);
  if (result < 0) {
    throw PlatformError(std::string("cannot serve ") + interface + " at " + path + ": " +
                        ErrnoText(result));
  }
  return Slot(slot);
}

Slot Connection::RequestName(const char* name, std::uint64_t flags, ReplyHandler handler) {
  auto* owned = new Handler{this, std::move(handler), nullptr};
  sd_bus_slot* slot = nullptr;
  const int result =
      sd_bus_request_name_async(bus_, &slot, name, flags, &Connection::OnReply, owned);
  if (result < 0) {
    delete owned;
    throw PlatformError(std::string("cannot ask the bus for the name ") + name + ": " +
                        ErrnoText(result));
  }
  sd_bus_slot_set_destroy_callback(slot, &Connection::OnSlotFreed);
  return Slot(slot);
}

Slot Connection::Matched(sd_bus_slot* slot, int result, const char* what, Handler* handler) {
  if (result < 0) {
    delete handler;
    throw PlatformError(std::string("cannot watch for the D-Bus signal ") +
                        (what != nullptr ? what : "") + ": " + ErrnoText(result));
  }
  sd_bus_slot_set_destroy_callback(slot, &Connection::OnSlotFreed);
  return Slot(slot);
}

void Connection::Keep(std::exception_ptr failure) {
  if (!failure_) failure_ = std::move(failure);
}

int Connection::OnReply(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/) {
  auto* handler = static_cast<Handler*>(userdata);
  Connection* connection = handler->connection;
  try {
    Reply reply;
    reply.message = message;
    if (const sd_bus_error* failed = sd_bus_message_get_error(message); failed != nullptr) {
      reply.error_name = failed->name != nullptr ? failed->name : "unnamed error";
      reply.error_message = failed->message != nullptr ? failed->message : "";
    }
    // A copy: the handler may free its own slot, and with it the stored one.
    ReplyHandler call = handler->on_reply;
    call(reply);
  } catch (...) {
    connection->Keep(std::current_exception());
  }
  return 0;
}

int Connection::OnSignal(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/) {
  auto* handler = static_cast<Handler*>(userdata);
  Connection* connection = handler->connection;
  try {
    SignalHandler call = handler->on_signal;
    call(message);
  } catch (...) {
    connection->Keep(std::current_exception());
  }
  return 0;
}

int Connection::OnMatchInstalled(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/) {
  const sd_bus_error* failed = sd_bus_message_get_error(message);
  if (failed != nullptr) {
    auto* handler = static_cast<Handler*>(userdata);
    handler->connection->Keep(std::make_exception_ptr(PlatformError(
        std::string("the bus refused a signal match: ") + ErrorText(failed, -EIO))));
  }
  return 0;
}

void Connection::OnSlotFreed(void* userdata) { delete static_cast<Handler*>(userdata); }

}  // namespace ostrel::dbus

namespace ostrel::dbus {

bool DictionaryEntry::Read(std::uint32_t* value) {
  read_ = type_ == "u" && sd_bus_message_read(message_, "u", value) > 0;
  return read_;
}

bool DictionaryEntry::Read(bool* value) {
  int flag = 0;
  read_ = type_ == "b" && sd_bus_message_read(message_, "b", &flag) > 0;
  if (read_) *value = flag != 0;
  return read_;
}

bool DictionaryEntry::Read(std::string* value) {
  const char* text = nullptr;
  read_ = (type_ == "s" || type_ == "o") &&
          sd_bus_message_read_basic(message_, type_[0], &text) > 0 && text != nullptr;
  if (read_) *value = text;
  return read_;
}

bool ReadDictionary(sd_bus_message* message,
                    const std::function<void(DictionaryEntry& entry)>& entry) {
  if (sd_bus_message_enter_container(message, 'a', "{sv}") <= 0) return false;
  int status = 0;
  while ((status = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
    const char* key = nullptr;
    char kind = 0;
    const char* type = nullptr;
    if (sd_bus_message_read(message, "s", &key) <= 0 ||
        sd_bus_message_peek_type(message, &kind, &type) <= 0 || type == nullptr ||
        sd_bus_message_enter_container(message, 'v', type) <= 0) {
      return false;
    }
    DictionaryEntry current(message, key, type);
    entry(current);
    if (!current.WasRead() && sd_bus_message_skip(message, type) < 0) return false;
    if (sd_bus_message_exit_container(message) < 0 || sd_bus_message_exit_container(message) < 0) {
      return false;
    }
  }
  return status >= 0 && sd_bus_message_exit_container(message) >= 0;
}

}  // namespace ostrel::dbus
