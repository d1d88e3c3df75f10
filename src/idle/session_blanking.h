#pragma once

// The session's own blanking of the screen after its idle time (GNOME's
// idle-delay, the X server's screen saver), which counts the same idleness:
// when it comes first, the screen is already blank (or locked) when the saver
// would start. Plain: the launcher warns in one line.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace ostrel {

struct SessionBlanking {
  std::chrono::seconds after{0};  // 0: never
  std::string how_to_change;      // the command that sets it, for the warning
  // Turned off, it hides applications that turn it off to hold screen
  // savers off (the X server's: xdg-screensaver suspend runs xset s off).
  bool off_hides_holds = false;
};

// The warning when the session blanks the screen before `after` has passed,
// or when its blanking is off where that hides applications' holds;
// nothing when it never blanks (and that hides nothing) or blanks later.
std::optional<std::string> BlankingWarning(std::chrono::milliseconds after,
                                           const SessionBlanking& blanking);

// The seconds of `gsettings get`'s answer for an unsigned setting, "uint32 300";
// nothing for any other answer.
std::optional<std::chrono::seconds> ParseGsettingsSeconds(std::string_view answer);

}  // namespace ostrel
