#pragma once

#include <cstddef>
#include <vector>

#include "platform/wayland/wl_free.h"

struct wl_event_queue;
struct wl_proxy;

namespace ostrel {

// The offers of other clients' selections that a device announces: each is
// kept while a selection (regular, primary, or a drag over us) names it, and
// destroyed once none does.
class OfferSet {
 public:
  enum Slot : std::size_t { kSelection, kPrimary, kDrag, kSlotCount };
  using Destroy = void (*)(wl_proxy* offer);

  explicit OfferSet(Destroy destroy) : destroy_(destroy) {}
  OfferSet(const OfferSet&) = delete;
  OfferSet& operator=(const OfferSet&) = delete;
  ~OfferSet() { Free(FreeMode::kWithRequests); }

  // A new offer, announced before a selection names it.
  void Add(wl_proxy* offer) { offers_.push_back(offer); }
  // `offer` (possibly null) now fills `slot`; offers no slot names are destroyed.
  void Select(Slot slot, wl_proxy* offer);
  // Frees every offer.
  void Free(FreeMode mode);
  void MoveToQueue(wl_event_queue* queue);
  std::size_t Count() const { return offers_.size(); }

 private:
  Destroy destroy_;
  std::vector<wl_proxy*> offers_;
  wl_proxy* slots_[kSlotCount] = {};
};

}  // namespace ostrel
