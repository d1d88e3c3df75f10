#pragma once

// One D-Bus connection through sd-bus, driven by the program's one wait: it
// is registered in the Waiter (WaitIn), which polls its descriptor until its
// deadline and then calls Process(), which dispatches everything that is
// ready to the handlers given with the calls and matches. Nothing here waits
// without a deadline: asynchronous calls carry a timeout (sd-bus answers with
// an error when it passes), and the one blocking call (for questions asked
// once at start-up) has one too.
//
// Messages are built and read with sd-bus itself (sd_bus_message_append,
// sd_bus_message_read): the wrapper owns lifetimes, timeouts, dispatch and
// failures, not the type system. A handler's exception never crosses sd-bus's
// C frames: it is kept and thrown by Process after the dispatch.

#include <poll.h>
#include <systemd/sd-bus.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/posix/waiter.h"

namespace ostrel::dbus {

// One reference to a message.
class Message {
 public:
  Message() = default;
  // Takes over a reference the caller owns.
  static Message Adopt(sd_bus_message* message);
  // Adds a reference of its own to a borrowed message.
  static Message Ref(sd_bus_message* message);
  Message(Message&& other) noexcept;
  Message& operator=(Message&& other) noexcept;
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;
  ~Message();

  sd_bus_message* get() const { return message_; }
  explicit operator bool() const { return message_ != nullptr; }

 private:
  sd_bus_message* message_ = nullptr;
};

// A method call's outcome: the reply, or the error the peer, the bus or a
// timeout gave. `message` is borrowed for the handler's call (read its
// arguments with sd_bus_message_read); an error reply carries its name.
struct Reply {
  sd_bus_message* message = nullptr;
  std::string error_name;  // empty when the call succeeded
  std::string error_message;
  bool ok() const { return error_name.empty(); }
};

// A call waited for in a Waiter: how the wait ended, and the reply or the
// error's name and text.
struct Answer {
  Waiter::End end = Waiter::End::kDeadline;
  Message reply;
  std::string error;
  bool ok() const { return end == Waiter::End::kDone && error.empty(); }
};

using ReplyHandler = std::function<void(const Reply&)>;
using SignalHandler = std::function<void(sd_bus_message*)>;

// A pending call or an installed match: freeing it cancels the call (its
// handler is never called) or removes the match. Free slots before their
// connection.
class Slot {
 public:
  Slot() = default;
  explicit Slot(sd_bus_slot* slot) : slot_(slot) {}
  Slot(Slot&& other) noexcept;
  Slot& operator=(Slot&& other) noexcept;
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;
  ~Slot();

  explicit operator bool() const { return slot_ != nullptr; }
  void Reset();

 private:
  sd_bus_slot* slot_ = nullptr;
};

class Connection {
 public:
  // The user's session bus (DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus),
  // the system bus, or a bus at an address. Connecting does not wait for the
  // bus: calls made before it answers are sent once it does. Throws
  // PlatformError, with the reason, when there is no bus to connect to.
  static std::unique_ptr<Connection> OpenSession();
  static std::unique_ptr<Connection> OpenSystem();
  static std::unique_ptr<Connection> OpenAddress(const std::string& address);
  // Closes at once; messages still queued are not sent.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Registers the connection in `waiter` as `source`: Process runs whenever
  // its descriptor has events or a call's timeout comes, and what it throws
  // leaves the wait.
  [[nodiscard]] Waiter::Registration WaitIn(Waiter& waiter, Waiter::Source source);
  // The descriptor and the events to poll it for; they change with what is
  // queued.
  pollfd PollFd() const;
  // When Process must run at the latest (the next call's timeout, or now when
  // messages are queued already); nullopt when only the descriptor matters.
  std::optional<TimePoint> Deadline() const;
  // Reads, writes and dispatches until nothing is left to do. Throws
  // PlatformError when the connection is lost, and a handler's exception after
  // the dispatch that raised it.
  void Process();
  // The name the bus gave this connection (":1.42"); empty until the bus has
  // greeted it (any answer from the bus means it has).
  std::string UniqueName() const;

  Message NewMethodCall(const char* destination, const char* path, const char* interface,
                        const char* member);
  // Sends the call; `handler` gets the reply, or an error once `timeout` has
  // passed without one (org.freedesktop.DBus.Error.NoReply), from Process.
  [[nodiscard]] Slot CallAsync(const Message& call, Clock::duration timeout, ReplyHandler handler);
  // Sends the call and waits for its answer in `waiter`, where this
  // connection is registered, until `deadline` (which is also the call's
  // timeout) or an interruption; the compositor and the signals are served
  // meanwhile.
  Answer CallAndWait(const Message& call, Waiter& waiter, TimePoint deadline);
  // Sends the call expecting no reply: for one whose answer does not matter
  // (a session's Stop on the way out). It goes out with the next Process.
  void Send(const Message& call);
  // Sends the call and waits for its reply, at most `timeout` (the bus's
  // greeting included): for questions asked once at start-up. Whatever else
  // arrives meanwhile goes to its handlers, as in Process; not to be called
  // from a handler. Throws PlatformError with the error's name and text when
  // it failed or no answer came, and as Process does.
  Message Call(const Message& call, Clock::duration timeout);
  // Calls `handler` for each signal that matches (null fields match anything).
  // The match is sent to the bus without waiting for it to be installed; the
  // bus handles one connection's messages in order, so a method call sent
  // after this cannot cause a matching signal that the match misses. A match
  // the bus refuses is a failure thrown by Process.
  [[nodiscard]] Slot MatchSignal(const char* sender, const char* path, const char* interface,
                                 const char* member, SignalHandler handler);
  // The same with a whole match rule, for what the four fields cannot say
  // (such as arg0='a.bus.Name' of NameOwnerChanged).
  [[nodiscard]] Slot MatchRule(const std::string& rule, SignalHandler handler);

  // Serves `interface` at `path` with the methods of `vtable` (sd-bus's
  // table; its handlers get `userdata` and must not throw), until the slot
  // goes.
  [[nodiscard]] Slot Serve(const char* path, const char* interface, const sd_bus_vtable* vtable,
                           void* userdata);
  // Asks the bus for a well-known name (sd-bus's SD_BUS_NAME_* flags);
  // `handler` gets the bus's answer. The name is the connection's until it
  // closes (or another takes it, where the flags allow).
  [[nodiscard]] Slot RequestName(const char* name, std::uint64_t flags, ReplyHandler handler);

  sd_bus* get() const { return bus_; }

 private:
  explicit Connection(sd_bus* bus) : bus_(bus) {}
  static std::unique_ptr<Connection> Started(sd_bus* bus, int result, const std::string& what);
  struct Handler;
  Slot Matched(sd_bus_slot* slot, int result, const char* what, Handler* handler);
  void Keep(std::exception_ptr failure);
  static int OnReply(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int OnSignal(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int OnMatchInstalled(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static void OnSlotFreed(void* userdata);

  sd_bus* bus_;
  std::exception_ptr failure_;
};

// The text of a negative errno-style result of sd-bus.
std::string ErrnoText(int negative_errno);

// One entry of an a{sv} dictionary, while ReadDictionary is at it.
class DictionaryEntry {
 public:
  DictionaryEntry(sd_bus_message* message, std::string_view entry_key, std::string_view type)
      : key(entry_key), message_(message), type_(type) {}

  const std::string_view key;
  // Reads the value when it has the type asked for; false otherwise (or when
  // it cannot be read). A value not read is skipped.
  bool Read(std::uint32_t* value);
  bool Read(bool* value);
  bool Read(std::string* value);
  bool WasRead() const { return read_; }

 private:
  sd_bus_message* message_;
  std::string_view type_;
  bool read_ = false;
};

// Reads an a{sv} dictionary (the portals' results, KWin's picture
// descriptions) at the message's position, calling `entry` for each entry.
// False when the message holds no such dictionary there.
bool ReadDictionary(sd_bus_message* message,
                    const std::function<void(DictionaryEntry& entry)>& entry);

}  // namespace ostrel::dbus
