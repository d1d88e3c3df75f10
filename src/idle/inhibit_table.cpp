#include "idle/inhibit_table.h"

#include <algorithm>
#include <utility>

namespace ostrel {

std::uint32_t InhibitTable::Add(std::string owner, std::string application, std::string reason) {
  // Counting on, past 0 and past the cookies still held (after a wrap).
  do {
    ++last_;
  } while (last_ == 0 || holds_.count(last_) > 0);
  holds_.emplace(last_, Hold{std::move(owner), std::move(application), std::move(reason)});
  return last_;
}

bool InhibitTable::Remove(std::uint32_t cookie, std::string_view owner) {
  const auto found = holds_.find(cookie);
  if (found == holds_.end() || found->second.owner != owner) return false;
  holds_.erase(found);
  return true;
}

int InhibitTable::RemoveOwner(std::string_view owner) {
  return static_cast<int>(
      std::erase_if(holds_, [owner](const auto& entry) { return entry.second.owner == owner; }));
}

bool InhibitTable::Holds(std::string_view owner) const {
  return std::any_of(holds_.begin(), holds_.end(),
                     [owner](const auto& entry) { return entry.second.owner == owner; });
}

}  // namespace ostrel
