#include "platform/wayland/screen_copy/portal_uri.h"

namespace ostrel {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string PortalRequestPath(std::string_view unique_name, std::string_view handle_token) {
  std::string sender(unique_name.substr(unique_name.starts_with(':') ? 1 : 0));
  for (char& c : sender) {
    if (c == '.') c = '_';
  }
  return "/org/freedesktop/portal/desktop/request/" + sender + "/" + std::string(handle_token);
}

std::optional<std::string> FilePathOfUri(std::string_view uri) {
  constexpr std::string_view kScheme = "file://";
  if (!uri.starts_with(kScheme)) return std::nullopt;
  uri.remove_prefix(kScheme.size());
  // "file://host/path": only the local host (empty, or localhost).
  const std::size_t slash = uri.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view host = uri.substr(0, slash);
  if (!host.empty() && host != "localhost") return std::nullopt;
  uri.remove_prefix(slash);
  std::string path;
  for (std::size_t i = 0; i < uri.size(); ++i) {
    if (uri[i] != '%') {
      path += uri[i];
      continue;
    }
    if (i + 2 >= uri.size()) return std::nullopt;
    const int high = HexDigit(uri[i + 1]);
    const int low = HexDigit(uri[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    const char decoded = static_cast<char>(high * 16 + low);
    if (decoded == '\0') return std::nullopt;
    path += decoded;
    i += 2;
  }
  return path;
}

}  // namespace ostrel
