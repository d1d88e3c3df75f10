#pragma once

// The holds applications put on the screen saver through
// org.freedesktop.ScreenSaver.Inhibit, where the launcher serves that name:
// each under a cookie, with the caller's bus name, its application name and
// its reason. A hold ends with its UnInhibit (from the caller that made it)
// or when its caller leaves the bus. Plain: the D-Bus service keeps one.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace ostrel {

class InhibitTable {
 public:
  struct Hold {
    std::string owner;  // the caller's unique bus name
    std::string application;
    std::string reason;
  };

  // A new hold; its cookie is never 0 and never one in use.
  std::uint32_t Add(std::string owner, std::string application, std::string reason);
  // Ends the hold `cookie` when `owner` made it; false otherwise (no such
  // hold, or another caller's).
  bool Remove(std::uint32_t cookie, std::string_view owner);
  // Ends every hold of a caller that left the bus; how many ended.
  int RemoveOwner(std::string_view owner);
  bool Holds(std::string_view owner) const;

  bool empty() const { return holds_.empty(); }
  std::size_t size() const { return holds_.size(); }
  const std::map<std::uint32_t, Hold>& holds() const { return holds_; }

 private:
  std::map<std::uint32_t, Hold> holds_;
  std::uint32_t last_ = 0;
};

}  // namespace ostrel
