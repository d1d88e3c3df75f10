// The Wayland clipboard's bookkeeping of other clients' offers: each kept
// exactly while a selection names it.

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/wayland/clipboard/wl_clipboard_offers.h"

namespace ostrel {
namespace {

std::vector<std::uintptr_t> destroyed;

void RecordDestroy(wl_proxy* offer) { destroyed.push_back(reinterpret_cast<std::uintptr_t>(offer)); }

wl_proxy* Offer(std::uintptr_t id) { return reinterpret_cast<wl_proxy*>(id * 16); }

TEST(WaylandClipboardOffers, KeptWhileASelectionNamesThem) {
  struct Step {
    char kind;  // 'a' add, 's' selection, 'p' primary, 'd' drag; id 0 is null
    std::uintptr_t id;
  };
  struct Case {
    std::string name;
    std::vector<Step> steps;
    std::set<std::uintptr_t> destroyed;
    std::size_t kept;
  };
  const std::vector<Case> cases = {
      {"a new selection replaces the old", {{'a', 1}, {'s', 1}, {'a', 2}, {'s', 2}}, {1}, 1},
      {"the selection cleared", {{'a', 1}, {'s', 1}, {'s', 0}}, {1}, 0},
      {"the primary stays when the selection changes",
       {{'a', 1}, {'s', 1}, {'a', 2}, {'p', 2}, {'a', 3}, {'s', 3}}, {1}, 2},
      {"one offer for both selections lives while either names it",
       {{'a', 1}, {'s', 1}, {'p', 1}, {'s', 0}}, {}, 1},
      {"a drag's offer goes at the leave", {{'a', 1}, {'s', 1}, {'a', 2}, {'d', 2}, {'d', 0}},
       {2}, 1},
  };
  for (const Case& c : cases) {
    destroyed.clear();
    {
      OfferSet offers(&RecordDestroy);
      for (const Step& step : c.steps) {
        wl_proxy* offer = step.id == 0 ? nullptr : Offer(step.id);
        switch (step.kind) {
          case 'a': offers.Add(offer); break;
          case 's': offers.Select(OfferSet::kSelection, offer); break;
          case 'p': offers.Select(OfferSet::kPrimary, offer); break;
          default: offers.Select(OfferSet::kDrag, offer); break;
        }
      }
      std::set<std::uintptr_t> ids;
      for (const std::uintptr_t address : destroyed) ids.insert(address / 16);
      EXPECT_EQ(ids, c.destroyed) << c.name;
      EXPECT_EQ(destroyed.size(), c.destroyed.size()) << c.name << ": destroyed twice";
      EXPECT_EQ(offers.Count(), c.kept) << c.name;
      destroyed.clear();
    }
    EXPECT_EQ(destroyed.size(), c.kept) << c.name << ": the rest go with the set";
  }
}

}  // namespace
}  // namespace ostrel
