#include "idle/session_blanking.h"

#include <charconv>

#include "idle/duration.h"

namespace ostrel {

std::optional<std::string> BlankingWarning(std::chrono::milliseconds after,
                                           const SessionBlanking& blanking) {
  if (blanking.after <= std::chrono::seconds{0} && blanking.off_hides_holds) {
    return "the session's own screen saver is off, so an application that turns it off to keep "
           "screen savers away (xdg-screensaver suspend) cannot be told from the setting: set "
           "its time longer than " + FormatDuration(after) + " instead (" +
           blanking.how_to_change + ")";
  }
  if (blanking.after <= std::chrono::seconds{0} || blanking.after >= after) return std::nullopt;
  return "the session blanks the screen after " + FormatDuration(blanking.after) +
         " of idleness, before ostrel would start after " + FormatDuration(after) +
         ": set its time longer than that, or off (" + blanking.how_to_change + ")";
}

std::optional<std::chrono::seconds> ParseGsettingsSeconds(std::string_view answer) {
  while (!answer.empty() && (answer.back() == '\n' || answer.back() == ' ')) answer.remove_suffix(1);
  constexpr std::string_view kType = "uint32 ";
  if (answer.starts_with(kType)) answer.remove_prefix(kType.size());
  unsigned long seconds = 0;
  const auto [end, error] = std::from_chars(answer.data(), answer.data() + answer.size(), seconds);
  if (error != std::errc() || end != answer.data() + answer.size() || answer.empty()) {
    return std::nullopt;
  }
  return std::chrono::seconds{static_cast<long long>(seconds)};
}

}  // namespace ostrel
