#pragma once

// The program's processes and their descriptors: the standard descriptors
// made sure of at the start; processes forked to outlive the caller, detached
// from whatever started it; and the writer processes that hand data to
// readers without ever blocking the caller (the Linux clipboards' transfers):
// each transfer goes to a forked writer that writes everything and exits. A
// reader may be slow, or never read at all; a writer whose reader takes
// nothing for a while gives up.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ostrel {

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed. A
// program started with one of them closed would otherwise give that number
// to the next descriptor it opens (a pipe, the display's connection), and a
// line written to stderr would go there. Call first thing in main.
void OpenMissingStandardDescriptors();

// What the program `argv[0]` (looked up on PATH) prints on stdout, run with
// the other arguments, stdin and stderr on /dev/null; nothing when it cannot
// be run, fails, or is not done within `timeout` (it is killed then).
std::optional<std::string> CommandOutput(const std::vector<std::string>& argv,
                                         std::chrono::milliseconds timeout);

// How long a writer waits for a reader that takes nothing before giving up.
inline constexpr std::chrono::milliseconds kTransferStall{30000};

// Writes all `size` bytes of `data` to `fd`, whether it blocks or not. Gives
// up (false) when the reader has gone, or takes nothing for `stall`.
bool WriteAll(int fd, const std::uint8_t* data, std::size_t size, std::chrono::milliseconds stall);

// Makes the calling process, just forked, independent of whatever started the
// program: a session of its own, stdin/stdout/stderr on /dev/null, every
// other fd closed except `keep_fd`, hang-up and interrupt ignored (there is no
// terminal), termination by default, no timer left running. After this,
// nobody waiting on the program's pipes waits for this process.
void DetachFromCaller(int keep_fd);

// fork(), with the child detached from the caller as above (keeping
// `keep_fd`). Signals are held back across the fork, so that one sent to the
// child before it has detached is not taken by the caller's handlers (which
// would, say, queue an ending for the caller's own loop).
pid_t ForkDetached(int keep_fd);

// The writer processes of one clipboard.
class TransferWriters {
 public:
  explicit TransferWriters(std::chrono::milliseconds stall = kTransferStall) : stall_(stall) {}

  // Hands `fd` to a new writer process that writes `data` to it, closes it
  // and exits. `fd` is closed in the caller either way. Returns false when no
  // process could be started; the reader then gets nothing.
  bool Start(int fd, std::shared_ptr<const std::vector<std::uint8_t>> data);

  // Collects the writers that have ended, without waiting for the others.
  void Reap();

  // Writers started and not yet collected.
  std::size_t Running() const { return pids_.size(); }

  // Forgets the writers without collecting them: for a forked process, to
  // which its parent's writers are not children.
  void Forget() { pids_.clear(); }

 private:
  std::chrono::milliseconds stall_;
  std::vector<pid_t> pids_;
};

}  // namespace ostrel
