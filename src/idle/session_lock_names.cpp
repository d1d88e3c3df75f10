#include "idle/session_lock_names.h"

namespace ostrel {
namespace {

// Only letters, digits, dots and dashes in the file name.
std::string Safe(std::string_view text) {
  std::string safe;
  for (const char c : text) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '.' || c == '-';
    safe += plain ? c : '_';
  }
  return safe;
}

// "host:N.S" -> "host:N"; a local host ("", "unix") is "".
std::string XDisplayName(std::string_view display) {
  const std::size_t colon = display.rfind(':');
  if (colon == std::string_view::npos) return std::string(display);
  std::string_view host = display.substr(0, colon);
  std::string_view number = display.substr(colon + 1);
  if (const std::size_t dot = number.find('.'); dot != std::string_view::npos) {
    number = number.substr(0, dot);
  }
  if (host == "unix") host = "";
  return std::string(host) + ":" + std::string(number);
}

}  // namespace

std::vector<SessionLockName> SessionLockNames(std::string_view x_display,
                                              std::string_view wayland_display) {
  std::vector<SessionLockName> names;
  if (!wayland_display.empty()) {
    names.push_back({"ostrel-idle-wayland-" + Safe(wayland_display) + ".lock",
                     "Wayland display " + std::string(wayland_display)});
  }
  if (!x_display.empty()) {
    const std::string x = XDisplayName(x_display);
    names.push_back({"ostrel-idle-x11-" + Safe(x) + ".lock", "X display " + x});
  }
  return names;
}

std::string AlreadyWatchedMessage(int pid, std::string_view program, std::string_view display) {
  std::string first = "another ostrel-idle";
  if (pid > 0) {
    first += " (process " + std::to_string(pid);
    if (!program.empty()) first += ", " + std::string(program);
    first += ")";
  }
  return first + " already watches the " + std::string(display) +
         "; one launcher per session: this one ends";
}

}  // namespace ostrel
