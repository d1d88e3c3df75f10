#include "platform/wayland/screen_copy/copy_chain.h"

#include "platform/wayland/screen_copy/placement.h"

namespace ostrel {
namespace {

void Blacken(const ScreenCopyDestination& frame, const ScreenCopyTarget& target) {
  PlaceScreenCopy(Image(), {}, *frame.pixels, target.place);
}

std::string NameOf(std::span<const ScreenCopyTarget> targets, std::size_t index) {
  if (index < targets.size() && !targets[index].name.empty()) return targets[index].name;
  return "output " + std::to_string(index + 1);
}

}  // namespace

ScreenCopyOutcome ScreenCopyOutcome::OfOutputs(std::vector<FailedOutput> failed,
                                               std::size_t targets) {
  if (failed.empty()) return Copied();
  if (failed.size() < targets) return {Kind::kPartly, std::move(failed), {}, false};
  std::string why = "every output failed";
  for (const FailedOutput& output : failed) {
    why += (&output == &failed.front() ? ": " : "; ") + output.why;
  }
  return FailedHere(why);
}

ScreenCopyChain::Result ScreenCopyChain::Copy(const ScreenCopyDestination& frame,
                                              std::span<const ScreenCopyTarget> targets) {
  std::string why_not;
  // The ways that are there but failed, said if a later one copies.
  std::vector<std::string> failed_here;
  const auto copied_by = [&failed_here](Result::Kind kind, std::string_view way) {
    Result result{kind, {}};
    for (const std::string& failure : failed_here) {
      result.lines.push_back(failure + "; " + std::string(way) + " copied it");
    }
    return result;
  };
  for (const auto& way : ways_) {
    const ScreenCopyOutcome outcome = way->Copy(frame, targets, Clock::now() + way->Patience());
    switch (outcome.kind) {
      case ScreenCopyOutcome::Kind::kCopied:
        return copied_by(Result::Kind::kWhole, way->Name());
      case ScreenCopyOutcome::Kind::kInterrupted:
        return {Result::Kind::kInterrupted, {}};
      case ScreenCopyOutcome::Kind::kPartly: {
        Result result = copied_by(Result::Kind::kPartly, way->Name());
        for (const ScreenCopyOutcome::FailedOutput& output : outcome.failed) {
          if (output.target < targets.size()) Blacken(frame, targets[output.target]);
          result.lines.push_back("the screen copy of " + NameOf(targets, output.target) +
                                 " failed (" + output.why +
                                 "): it shows black, and the clipboard keeps what it held");
        }
        return result;
      }
      case ScreenCopyOutcome::Kind::kNotHere:
        // What this way wrote before it gave up is left: a later way that
        // copies writes every output again (and blackens those it fails).
        why_not += (why_not.empty() ? "" : "; ") + outcome.why;
        if (outcome.failed_here) {
          failed_here.push_back(std::string(way->Name()) + " could not copy the screen (" +
                                outcome.why + ")");
        }
        break;
    }
  }
  // None copied: whatever a way wrote before it gave up is not the screen.
  for (const ScreenCopyTarget& target : targets) Blacken(frame, target);
  return {Result::Kind::kNone,
          {"the screen cannot be copied here (" + why_not + "): running over a black picture"}};
}

}  // namespace ostrel
