#include "idle/hold_gate.h"

#include <algorithm>

namespace ostrel {

int HoldGate::AddSource(bool signalled) {
  sources_.push_back(Source{.signalled = signalled});
  return static_cast<int>(sources_.size()) - 1;
}

bool HoldGate::Asking() const {
  return std::any_of(sources_.begin(), sources_.end(), [](const Source& s) { return s.pending; });
}

bool HoldGate::HeldBy(bool signalled) const {
  return std::any_of(sources_.begin(), sources_.end(), [signalled](const Source& s) {
    return s.held && s.signalled == signalled;
  });
}

bool HoldGate::held() const { return HeldBy(true) || HeldBy(false); }

HoldGate::Step HoldGate::Idle(TimePoint now) {
  idle_ = true;
  started_ = false;
  // What an asked source said last time is old news: it is asked afresh.
  for (Source& source : sources_) {
    if (!source.signalled) source.held = false;
  }
  return Decide(now);
}

void HoldGate::Active() {
  idle_ = false;
  started_ = false;
  for (Source& source : sources_) source.pending = false;
}

HoldGate::Step HoldGate::Changed(int source, bool held, TimePoint now) {
  Source& changed = sources_.at(static_cast<std::size_t>(source));
  if (changed.held && !held) quiet_until_ = std::max(quiet_until_, now + after_);
  changed.held = held;
  return Decide(now);
}

HoldGate::Step HoldGate::Activity(TimePoint now) {
  quiet_until_ = std::max(quiet_until_, now + after_);
  return Decide(now);
}

HoldGate::Step HoldGate::Answered(int source, bool held, TimePoint now) {
  Source& answered = sources_.at(static_cast<std::size_t>(source));
  const bool was_pending = answered.pending;
  answered.pending = false;
  answered.held = held;
  if (!was_pending || !idle_ || started_ || Asking()) return {};
  if (this->held()) {
    ask_again_ = now + after_;
    return {};
  }
  if (now < quiet_until_) return {};  // a hold ended or activity came meanwhile
  started_ = true;
  return {.start = true};
}

HoldGate::Step HoldGate::Decide(TimePoint now) {
  if (!idle_ || started_ || Asking()) return {};
  const bool asked_holds = HeldBy(false);
  if (asked_holds) {
    if (now < ask_again_) return {};
  } else if (HeldBy(true) || now < quiet_until_) {
    return {};
  }
  for (Source& source : sources_) source.pending = true;
  if (sources_.empty()) {
    started_ = true;
    return {.start = true};
  }
  return {.ask = true};
}

std::optional<TimePoint> HoldGate::Deadline() const {
  if (!idle_ || started_ || Asking()) return std::nullopt;
  if (HeldBy(false)) return ask_again_;
  if (HeldBy(true)) return std::nullopt;
  return quiet_until_;
}

HoldGate::Step HoldGate::DeadlinePassed(TimePoint now) {
  const auto deadline = Deadline();
  if (!deadline || now < *deadline) return {};
  return Decide(now);
}

bool InhibitsIdle(std::string_view what) {
  while (!what.empty()) {
    const std::size_t colon = what.find(':');
    if (what.substr(0, colon) == "idle") return true;
    if (colon == std::string_view::npos) break;
    what.remove_prefix(colon + 1);
  }
  return false;
}

}  // namespace ostrel
