#include "idle/idle_options.h"

#include <optional>

#include "idle/duration.h"

namespace ostrel {

bool ParseIdleOptions(const std::vector<std::string>& args, IdleOptions* options,
                      std::string* error) {
  IdleOptions parsed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::optional<std::string> value;
    if (arg == "--after") {
      if (i + 1 == args.size()) {
        *error = "--after needs a duration, such as --after 10m";
        return false;
      }
      value = args[++i];
    } else if (arg.rfind("--after=", 0) == 0) {
      value = arg.substr(8);
    } else if (arg == "--help" || arg == "-h") {
      parsed.action = IdleOptions::Action::kHelp;
      continue;
    } else if (arg == "--version") {
      parsed.action = IdleOptions::Action::kVersion;
      continue;
    } else if (!arg.empty() && arg[0] == '-') {
      *error = "unknown option '" + arg + "' (see ostrel-idle --help)";
      return false;
    } else {
      *error = "unexpected argument '" + arg + "' (see ostrel-idle --help)";
      return false;
    }
    std::string why;
    const auto after = ParseDuration(*value, &why);
    if (!after) {
      *error = "--after: " + why;
      return false;
    }
    parsed.after = *after;  // the last one given counts, as with most programs
  }
  *options = parsed;
  return true;
}

std::string IdleUsage() {
  return "Usage: ostrel-idle [--after DURATION]\n"
         "Starts the screen saver ostrel whenever the session has been idle for\n"
         "DURATION (default " +
         FormatDuration(kDefaultIdle) +
         "), waits for it to end, and watches again.\n"
         "DURATION: 90s, 10m, 1h30m, ... or a number of seconds; from " +
         FormatDuration(kShortestIdle) + " to " + FormatDuration(kLongestIdle) +
         ".\n"
         "Sessions: X11 (SYNC idle time), Wayland compositors with ext-idle-notify\n"
         "(KDE Plasma), GNOME (its idle monitor, honouring its inhibitors).\n"
         "  --help     print this and exit\n"
         "  --version  print the version and exit\n";
}

}  // namespace ostrel
