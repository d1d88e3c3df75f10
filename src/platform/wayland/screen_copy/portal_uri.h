#pragma once

// What the XDG Screenshot portal's answers are made of: the object path of a
// request's Response, and the local file that the answer's URI names. Plain,
// tested on their own.

#include <optional>
#include <string>
#include <string_view>

namespace ostrel {

// The object path of the portal's answer to a request made with
// `handle_token` by the connection whose unique name is `unique_name`
// (":1.42" -> /org/freedesktop/portal/desktop/request/1_42/TOKEN).
std::string PortalRequestPath(std::string_view unique_name, std::string_view handle_token);

// The local file a "file://" URI names, its escapes (%20 and the like)
// decoded; nothing for any other URI or a broken escape.
std::optional<std::string> FilePathOfUri(std::string_view uri);

}  // namespace ostrel
