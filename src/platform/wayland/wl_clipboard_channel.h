#pragma once

// The two ways of putting our data on a seat's selection: the compositor's
// data-control interface (a clipboard-manager interface that needs neither
// focus nor an input serial) and the core data device (which needs the serial
// of an input event). Each owns its device, its current source and the offers
// of other clients' selections that the compositor announces to it.

#include <cstdint>
#include <memory>
#include <vector>

struct wl_proxy;
struct wl_event_queue;
struct wl_seat;
struct wl_data_device_manager;
struct zwlr_data_control_manager_v1;

namespace ostrel {

class SelectionChannel {
 public:
  // What the channel reports about our current source.
  class Events {
   public:
    // A reader asks for the data as `mime_type`: write it to `fd` and close
    // it (the receiver owns `fd`).
    virtual void OnSend(const char* mime_type, int fd) = 0;
    // Our source is no longer the selection (another client took it, or the
    // seat went away).
    virtual void OnCancelled() = 0;

   protected:
    ~Events() = default;
  };

  virtual ~SelectionChannel() = default;

  // Whether setting the selection needs the serial of an input event.
  virtual bool NeedsSerial() const = 0;
  // Replaces our source with a new one offering `mime_type` and makes it the
  // selection. `serial` is used only when NeedsSerial(). False when the
  // channel can no longer set selections (its device is gone).
  virtual bool SetSelection(const char* mime_type, std::uint32_t serial) = 0;
  // Destroys our source, if any (with its destroy request).
  virtual void DropSource() = 0;
  // Delivers the events of all its objects, now and later, on `queue`.
  virtual void MoveToQueue(wl_event_queue* queue) = 0;
  // Frees its objects without sending anything on the connection: another
  // process serves them now. The destructor then sends nothing either.
  virtual void Abandon() = 0;
};

std::unique_ptr<SelectionChannel> MakeDataControlChannel(wl_seat* seat,
                                                         zwlr_data_control_manager_v1* manager,
                                                         SelectionChannel::Events& events);
std::unique_ptr<SelectionChannel> MakeDataDeviceChannel(wl_seat* seat,
                                                        wl_data_device_manager* manager,
                                                        SelectionChannel::Events& events);

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
  ~OfferSet() { DestroyAll(); }

  // A new offer, announced before a selection names it.
  void Add(wl_proxy* offer) { offers_.push_back(offer); }
  // `offer` (possibly null) now fills `slot`; offers no slot names are destroyed.
  void Select(Slot slot, wl_proxy* offer);
  // Destroys every offer (with its destroy request).
  void DestroyAll();
  // Frees every offer without a request.
  void FreeAll();
  void MoveToQueue(wl_event_queue* queue);
  std::size_t Count() const { return offers_.size(); }

 private:
  Destroy destroy_;
  std::vector<wl_proxy*> offers_;
  wl_proxy* slots_[kSlotCount] = {};
};

}  // namespace ostrel
