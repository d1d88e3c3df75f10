// The selection through the core data device, for compositors without the
// data-control interface: setting it needs the serial of an input event
// received while our surface has focus.

#include <wayland-client.h>

#include "platform/wayland/wl_clipboard_channel.h"

namespace ostrel {
namespace {

wl_proxy* AsProxy(void* object) { return static_cast<wl_proxy*>(object); }

class DataDeviceChannel final : public SelectionChannel {
 public:
  DataDeviceChannel(wl_seat* seat, wl_data_device_manager* manager, Events& events)
      : manager_(manager), events_(events) {
    device_ = wl_data_device_manager_get_data_device(manager, seat);
    if (device_ != nullptr) wl_data_device_add_listener(device_, &kDeviceListener, this);
  }

  ~DataDeviceChannel() override {
    if (abandoned_) return;
    DropSource();
    offers_.DestroyAll();
    if (device_ == nullptr) return;
    if (wl_data_device_get_version(device_) >= WL_DATA_DEVICE_RELEASE_SINCE_VERSION) {
      wl_data_device_release(device_);
    } else {
      wl_data_device_destroy(device_);
    }
  }

  bool NeedsSerial() const override { return true; }

  bool SetSelection(const char* mime_type, std::uint32_t serial) override {
    DropSource();
    if (device_ == nullptr) return false;
    source_ = wl_data_device_manager_create_data_source(manager_);
    if (source_ == nullptr) return false;
    wl_data_source_add_listener(source_, &kSourceListener, this);
    wl_data_source_offer(source_, mime_type);
    wl_data_device_set_selection(device_, source_, serial);
    return true;
  }

  void DropSource() override {
    if (source_ != nullptr) wl_data_source_destroy(source_);
    source_ = nullptr;
  }

  void MoveToQueue(wl_event_queue* queue) override {
    if (device_ != nullptr) wl_proxy_set_queue(AsProxy(device_), queue);
    if (source_ != nullptr) wl_proxy_set_queue(AsProxy(source_), queue);
    offers_.MoveToQueue(queue);
  }

  void Abandon() override {
    if (source_ != nullptr) wl_proxy_destroy(AsProxy(source_));
    if (device_ != nullptr) wl_proxy_destroy(AsProxy(device_));
    offers_.FreeAll();
    source_ = nullptr;
    device_ = nullptr;
    abandoned_ = true;
  }

 private:
  static DataDeviceChannel& Self(void* data) { return *static_cast<DataDeviceChannel*>(data); }

  // --- The device: other clients' selections and drags over our surface. ---
  static void OnDataOffer(void* data, wl_data_device*, wl_data_offer* offer) {
    Self(data).offers_.Add(AsProxy(offer));
  }
  static void OnEnter(void* data, wl_data_device*, std::uint32_t, wl_surface*, wl_fixed_t,
                      wl_fixed_t, wl_data_offer* offer) {
    Self(data).offers_.Select(OfferSet::kDrag, AsProxy(offer));
  }
  static void OnLeave(void* data, wl_data_device*) {
    Self(data).offers_.Select(OfferSet::kDrag, nullptr);
  }
  static void OnMotion(void*, wl_data_device*, std::uint32_t, wl_fixed_t, wl_fixed_t) {}
  // We accept no drop; the drag's offer goes like at a leave.
  static void OnDrop(void* data, wl_data_device*) {
    Self(data).offers_.Select(OfferSet::kDrag, nullptr);
  }
  static void OnSelection(void* data, wl_data_device*, wl_data_offer* offer) {
    Self(data).offers_.Select(OfferSet::kSelection, AsProxy(offer));
  }

  // --- Our source. ---
  static void OnTarget(void*, wl_data_source*, const char*) {}
  static void OnSend(void* data, wl_data_source*, const char* mime_type, int32_t fd) {
    Self(data).events_.OnSend(mime_type, fd);
  }
  static void OnCancelled(void* data, wl_data_source* source) {
    DataDeviceChannel& self = Self(data);
    if (source != self.source_) return;
    self.DropSource();
    self.events_.OnCancelled();
  }
  static void OnDndDropPerformed(void*, wl_data_source*) {}
  static void OnDndFinished(void*, wl_data_source*) {}
  static void OnAction(void*, wl_data_source*, std::uint32_t) {}

  static void DestroyOffer(wl_proxy* offer) {
    wl_data_offer_destroy(reinterpret_cast<wl_data_offer*>(offer));
  }

  static constexpr wl_data_device_listener kDeviceListener = {
      OnDataOffer, OnEnter, OnLeave, OnMotion, OnDrop, OnSelection};
  static constexpr wl_data_source_listener kSourceListener = {
      OnTarget, OnSend, OnCancelled, OnDndDropPerformed, OnDndFinished, OnAction};

  wl_data_device_manager* manager_;
  Events& events_;
  wl_data_device* device_ = nullptr;
  wl_data_source* source_ = nullptr;
  OfferSet offers_{&DestroyOffer};
  bool abandoned_ = false;
};

}  // namespace

std::unique_ptr<SelectionChannel> MakeDataDeviceChannel(wl_seat* seat,
                                                        wl_data_device_manager* manager,
                                                        SelectionChannel::Events& events) {
  return std::make_unique<DataDeviceChannel>(seat, manager, events);
}

}  // namespace ostrel
