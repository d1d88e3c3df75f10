#pragma once

// The launcher's command line: `ostrel-idle [--after DURATION]`, plus
// --help and --version. Anything else is refused with one line.

#include <chrono>
#include <string>
#include <vector>

namespace ostrel {

inline constexpr std::chrono::milliseconds kDefaultIdle = std::chrono::minutes(10);

struct IdleOptions {
  enum class Action { kRun, kHelp, kVersion };
  Action action = Action::kRun;
  std::chrono::milliseconds after = kDefaultIdle;
};

// The arguments after the program's name. False with one sentence in `error`
// when they are not understood.
bool ParseIdleOptions(const std::vector<std::string>& args, IdleOptions* options,
                      std::string* error);

// What --help prints.
std::string IdleUsage();

}  // namespace ostrel
