#pragma once

// Which saver the launcher runs: the `ostrel` in the launcher's own folder
// (so an installed /usr/bin/ostrel-idle runs /usr/bin/ostrel, and a build's
// launcher its own build's program), else the first `ostrel` on PATH. Only
// absolute PATH entries count: an empty or relative one would make the saver
// depend on the folder the launcher happens to be started in.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ostrel {

inline constexpr const char* kSaverName = "ostrel";

// `own_folder` is the launcher's folder (empty when unknown), `path` the PATH
// variable's value; `is_executable` asks the system about a candidate.
std::optional<std::string> FindSaver(std::string_view own_folder, std::string_view path,
                                     const std::function<bool(const std::string&)>& is_executable);

// The line when none was found. `beside_present`: there is an `ostrel` in
// the launcher's folder, only not an executable file (the line names it
// rather than claim there is none).
std::string NoSaverMessage(std::string_view own_folder, bool beside_present);

}  // namespace ostrel
