#include "idle/posix/holds.h"

#include <utility>

namespace ostrel {

Holds::Holds(Waiter& waiter, Clock::duration after, std::function<void()> start,
             std::function<void()> woken)
    : start_(std::move(start)), woken_(std::move(woken)), gate_(after) {
  deadline_ = waiter.Add(Waiter::Source::kTimer,
                         {.due = [this] { return gate_.Deadline(); },
                          .ready = [this](short) { Apply(gate_.DeadlinePassed(Clock::now())); }});
}

Holds::~Holds() {
  deadline_.Reset();
  // Sources go first: their handlers report here.
  sources_.clear();
}

HoldSource::Reports Holds::NextReports() {
  const int number = static_cast<int>(sources_.size());
  return {.changed = [this, number](bool held) {
            Apply(gate_.Changed(numbers_.at(static_cast<std::size_t>(number)), held,
                                Clock::now()));
          },
          .activity =
              [this] {
                woken_();
                Apply(gate_.Activity(Clock::now()));
              }};
}

void Holds::Add(std::unique_ptr<HoldSource> source) {
  numbers_.push_back(gate_.AddSource(source->Signalled()));
  sources_.push_back(std::move(source));
}

void Holds::Idle() { Apply(gate_.Idle(Clock::now())); }

void Holds::Active() { gate_.Active(); }

void Holds::Apply(const HoldGate::Step& step) {
  if (step.start) start_();
  if (!step.ask) return;
  // Each source answers once, perhaps at once: those answers are taken in
  // order, and the one that completes the round may start the saver.
  for (std::size_t i = 0; i < sources_.size(); ++i) {
    const int number = numbers_[i];
    sources_[i]->Ask([this, number](bool held) {
      Apply(gate_.Answered(number, held, Clock::now()));
    });
  }
}

}  // namespace ostrel
