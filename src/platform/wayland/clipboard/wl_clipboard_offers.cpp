#include <wayland-client-core.h>

#include <algorithm>

#include "platform/wayland/clipboard/wl_clipboard_offers.h"

namespace ostrel {

void OfferSet::Select(Slot slot, wl_proxy* offer) {
  slots_[slot] = offer;
  std::erase_if(offers_, [&](wl_proxy* kept) {
    if (std::find(std::begin(slots_), std::end(slots_), kept) != std::end(slots_)) return false;
    destroy_(kept);
    return true;
  });
}

void OfferSet::Free(FreeMode mode) {
  for (wl_proxy* offer : offers_) {
    if (mode == FreeMode::kWithRequests) {
      destroy_(offer);
    } else {
      wl_proxy_destroy(offer);
    }
  }
  offers_.clear();
  std::fill(std::begin(slots_), std::end(slots_), nullptr);
}

void OfferSet::MoveToQueue(wl_event_queue* queue) {
  for (wl_proxy* offer : offers_) wl_proxy_set_queue(offer, queue);
}

}  // namespace ostrel
