#include "idle/saver_location.h"

namespace ostrel {
namespace {

std::string Join(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (path.empty() || path.back() != '/') path += '/';
  return path + std::string(name);
}

}  // namespace

std::optional<std::string> FindSaver(std::string_view own_folder, std::string_view path,
                                     const std::function<bool(const std::string&)>& is_executable) {
  if (!own_folder.empty()) {
    const std::string beside = Join(own_folder, kSaverName);
    if (is_executable(beside)) return beside;
  }
  while (!path.empty()) {
    const std::size_t colon = path.find(':');
    const std::string_view entry = path.substr(0, colon);
    path = colon == std::string_view::npos ? std::string_view() : path.substr(colon + 1);
    if (entry.empty() || entry.front() != '/') continue;
    const std::string candidate = Join(entry, kSaverName);
    if (is_executable(candidate)) return candidate;
  }
  return std::nullopt;
}

std::string NoSaverMessage(std::string_view own_folder, bool beside_present) {
  if (beside_present && !own_folder.empty()) {
    return Join(own_folder, kSaverName) +
           " is not an executable file (chmod +x it), and there is no other " + kSaverName +
           " on PATH";
  }
  return std::string("no ") + kSaverName + " beside ostrel-idle or on PATH";
}

}  // namespace ostrel
