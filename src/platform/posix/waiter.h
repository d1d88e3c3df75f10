#pragma once

// The one wait of a program: every descriptor it waits on (the display's
// connection, the session and system buses, the ending signals, a pipe a
// command answers through) is registered here under a name, with its own
// handler, and one ppoll waits for all of them until the earliest deadline:
// the caller's, or one a source asks for (a D-Bus call's timeout). Nothing
// else in the program polls; a wait for one answer (a screen copy, a
// configure) is this wait with a condition, so the compositor's events, the
// buses and the signals are served meanwhile, and a signal ends it at once.
//
// A descriptor at its end (a hang-up or an error with nothing left to read)
// leaves the set after its handler has seen it: a pipe whose writer has gone
// would otherwise wake every wait at once, again and again.
//
// One thread. Handlers may add and remove sources, their own included.

#include <poll.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/clock.h"

namespace ostrel {

class Waiter {
 public:
  // What a descriptor is, for reading the code and for counting.
  enum class Source {
    kDisplay,      // the display server's connection
    kSignals,      // the ending signals (a pipe, or a signalfd)
    kSessionBus,   // D-Bus
    kSystemBus,
    kPipe,         // a pipe being read: a command's output
    kFileWatch,    // inotify on a file another process writes: a desktop's screenshot
    kPipeWire,     // PipeWire's loop (a screen cast's streams)
    kTimer,        // no descriptor: a deadline only
  };

  struct Watch {
    int fd = -1;  // negative: none, only `due`
    // Called before every wait: does what must precede it (sending what is
    // queued, dispatching what was read already) and says which events to
    // wait for. Null: POLLIN.
    std::function<short()> prepare = nullptr;
    // When `ready` must run even without an event (a call's timeout); null
    // or nullopt: only the descriptor wakes it.
    std::function<std::optional<TimePoint>()> due = nullptr;
    // Called with poll's revents when the descriptor has any, or with 0 when
    // `due` has come.
    std::function<void(short revents)> ready = nullptr;
  };

  // A registered source; freeing it takes the source out of the set.
  class Registration {
   public:
    Registration() = default;
    Registration(Registration&& other) noexcept;
    Registration& operator=(Registration&& other) noexcept;
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
    ~Registration() { Reset(); }

    void Reset();
    explicit operator bool() const { return waiter_ != nullptr; }

   private:
    friend class Waiter;
    Registration(Waiter* waiter, std::size_t id) : waiter_(waiter), id_(id) {}
    Waiter* waiter_ = nullptr;
    std::size_t id_ = 0;
  };

  enum class End {
    kDone,         // the condition holds
    kDeadline,     // the deadline passed first
    kInterrupted,  // Interrupt() was called (an ending signal)
  };

  Waiter();
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;
  ~Waiter();

  [[nodiscard]] Registration Add(Source source, Watch watch);

  // Waits until a descriptor has events, a source is due or `deadline`
  // passes (at once when it has passed already; none: no limit), then runs
  // the handlers of what is ready, in the order they were added. A handler's
  // exception leaves the wait and reaches the caller. A signal handler's
  // interruption (EINTR) returns without running any.
  void WaitOnce(std::optional<TimePoint> deadline);
  // Waits as WaitOnce does, again and again, until `done()` holds (asked
  // after the sources' preparations, so what they dispatched counts),
  // `deadline` passes or the wait is interrupted.
  End WaitUntil(const std::function<bool()>& done, TimePoint deadline);

  // From a handler: this wait and every later one end with kInterrupted.
  void Interrupt() { interrupted_ = true; }
  bool Interrupted() const { return interrupted_; }

  // How many sources of a kind are in the set.
  int Count(Source source) const;

 private:
  struct Entry;
  // One round: the preparations, `done`, then one ppoll and the handlers.
  // Returns how the wait ended, or nullopt when it should go on.
  std::optional<End> Round(const std::function<bool()>* done,
                           std::optional<TimePoint> deadline);
  void Remove(std::size_t id);
  void Compact();

  std::vector<std::unique_ptr<Entry>> entries_;
  std::vector<pollfd> fds_;
  std::size_t next_id_ = 1;
  int depth_ = 0;  // rounds in progress (a handler may wait again)
  bool interrupted_ = false;
};

}  // namespace ostrel
