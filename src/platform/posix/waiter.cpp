#include "platform/posix/waiter.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "platform/platform_error.h"

namespace ostrel {

struct Waiter::Entry {
  std::size_t id;
  Source source;
  Watch watch;
  bool removed = false;
};

namespace {

// poll's events for a descriptor that has reached its end: nothing more will
// come, and it would wake every wait.
constexpr short kEnded = POLLHUP | POLLERR | POLLNVAL;

timespec TimespecOf(Clock::duration wait) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::max(wait, Clock::duration::zero()))
                      .count();
  return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

// A depth counter that is put back however the round ends.
class Nested {
 public:
  explicit Nested(int& depth) : depth_(depth) { ++depth_; }
  ~Nested() { --depth_; }
  Nested(const Nested&) = delete;
  Nested& operator=(const Nested&) = delete;

 private:
  int& depth_;
};

}  // namespace

Waiter::Registration::Registration(Registration&& other) noexcept
    : waiter_(std::exchange(other.waiter_, nullptr)), id_(other.id_) {}

Waiter::Registration& Waiter::Registration::operator=(Registration&& other) noexcept {
  if (this != &other) {
    Reset();
    waiter_ = std::exchange(other.waiter_, nullptr);
    id_ = other.id_;
  }
  return *this;
}

void Waiter::Registration::Reset() {
  if (waiter_ != nullptr) waiter_->Remove(id_);
  waiter_ = nullptr;
}

Waiter::Waiter() = default;
Waiter::~Waiter() = default;

Waiter::Registration Waiter::Add(Source source, Watch watch) {
  const std::size_t id = next_id_++;
  entries_.push_back(std::make_unique<Entry>(Entry{id, source, std::move(watch)}));
  return Registration(this, id);
}

void Waiter::Remove(std::size_t id) {
  // Marked only: a handler being run may be the one removed. Entries go
  // between rounds.
  for (auto& entry : entries_) {
    if (entry->id == id) entry->removed = true;
  }
  if (depth_ == 0) Compact();
}

void Waiter::Compact() {
  std::erase_if(entries_, [](const std::unique_ptr<Entry>& entry) { return entry->removed; });
}

int Waiter::Count(Source source) const {
  return static_cast<int>(std::count_if(entries_.begin(), entries_.end(), [&](const auto& entry) {
    return !entry->removed && entry->source == source;
  }));
}

void Waiter::WaitOnce(std::optional<TimePoint> deadline) { Round(nullptr, deadline); }

Waiter::End Waiter::WaitUntil(const std::function<bool()>& done, TimePoint deadline) {
  for (;;) {
    if (const std::optional<End> end = Round(&done, deadline)) return *end;
  }
}

std::optional<Waiter::End> Waiter::Round(const std::function<bool()>* done,
                                         std::optional<TimePoint> deadline) {
  if (depth_ == 0) Compact();
  const Nested nested(depth_);
  // The entries present now take part in this round; those added by a
  // handler wait for the next one.
  const std::size_t count = entries_.size();
  fds_.assign(count, pollfd{-1, 0, 0});
  for (std::size_t i = 0; i < count; ++i) {
    Entry& entry = *entries_[i];
    if (entry.removed || entry.watch.fd < 0) continue;
    const short events = entry.watch.prepare ? entry.watch.prepare() : POLLIN;
    if (!entry.removed) fds_[i] = pollfd{entry.watch.fd, events, 0};
  }
  if (done != nullptr && (*done)()) return End::kDone;
  if (interrupted_) return End::kInterrupted;

  std::optional<TimePoint> wake = deadline;
  for (std::size_t i = 0; i < count; ++i) {
    const Entry& entry = *entries_[i];
    if (entry.removed || !entry.watch.due) continue;
    if (const std::optional<TimePoint> due = entry.watch.due()) {
      wake = wake ? std::min(*wake, *due) : *due;
    }
  }
  const TimePoint before = Clock::now();
  if (done != nullptr && deadline && before >= *deadline) return End::kDeadline;
  // A time already past is a wait of zero: ppoll refuses a negative one.
  const timespec timeout = TimespecOf(wake ? *wake - before : Clock::duration::zero());
  if (ppoll(fds_.data(), fds_.size(), wake ? &timeout : nullptr, nullptr) < 0) {
    if (errno == EINTR) return std::nullopt;
    throw PlatformError(std::string("waiting failed: ") + std::strerror(errno));
  }

  for (std::size_t i = 0; i < count; ++i) {
    Entry& entry = *entries_[i];
    if (entry.removed) continue;
    const short revents = fds_[i].revents;
    if (revents == 0) {
      if (!entry.watch.due) continue;
      // Asked again: an earlier handler may have changed it ("now" for
      // events already read).
      const std::optional<TimePoint> due = entry.watch.due();
      if (!due || *due > Clock::now()) continue;
    }
    // Entries are only marked removed during a round, so the handler stays
    // whole while it runs even if it removes its own source.
    entry.watch.ready(revents);
    if ((revents & kEnded) != 0 && (revents & POLLIN) == 0) entries_[i]->removed = true;
  }
  return std::nullopt;
}

}  // namespace ostrel
