// The selection through the compositor's data-control interface: a device for
// the seat, and a source per offer. No focus or input serial is needed.

#include <wayland-client.h>

#include "platform/wayland/wl_clipboard_channel.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

namespace ostrel {
namespace {

wl_proxy* AsProxy(void* object) { return static_cast<wl_proxy*>(object); }

class DataControlChannel final : public SelectionChannel {
 public:
  DataControlChannel(wl_seat* seat, zwlr_data_control_manager_v1* manager, Events& events)
      : manager_(manager), events_(events) {
    device_ = zwlr_data_control_manager_v1_get_data_device(manager, seat);
    if (device_ != nullptr) zwlr_data_control_device_v1_add_listener(device_, &kDeviceListener, this);
  }

  ~DataControlChannel() override {
    if (abandoned_) return;
    DropSource();
    offers_.DestroyAll();
    if (device_ != nullptr) zwlr_data_control_device_v1_destroy(device_);
  }

  bool NeedsSerial() const override { return false; }

  bool SetSelection(const char* mime_type, std::uint32_t /*serial*/) override {
    DropSource();
    if (device_ == nullptr) return false;
    source_ = zwlr_data_control_manager_v1_create_data_source(manager_);
    if (source_ == nullptr) return false;
    zwlr_data_control_source_v1_add_listener(source_, &kSourceListener, this);
    zwlr_data_control_source_v1_offer(source_, mime_type);
    zwlr_data_control_device_v1_set_selection(device_, source_);
    return true;
  }

  void DropSource() override {
    if (source_ != nullptr) zwlr_data_control_source_v1_destroy(source_);
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
  static DataControlChannel& Self(void* data) { return *static_cast<DataControlChannel*>(data); }

  static void OnDataOffer(void* data, zwlr_data_control_device_v1*,
                          zwlr_data_control_offer_v1* offer) {
    Self(data).offers_.Add(AsProxy(offer));
  }
  static void OnSelection(void* data, zwlr_data_control_device_v1*,
                          zwlr_data_control_offer_v1* offer) {
    Self(data).offers_.Select(OfferSet::kSelection, AsProxy(offer));
  }
  static void OnPrimarySelection(void* data, zwlr_data_control_device_v1*,
                                 zwlr_data_control_offer_v1* offer) {
    Self(data).offers_.Select(OfferSet::kPrimary, AsProxy(offer));
  }
  // The seat is gone: the device can do nothing more, and our selection
  // went with the seat.
  static void OnFinished(void* data, zwlr_data_control_device_v1* device) {
    DataControlChannel& self = Self(data);
    self.offers_.DestroyAll();
    zwlr_data_control_device_v1_destroy(device);
    self.device_ = nullptr;
    self.DropSource();
    self.events_.OnCancelled();
  }

  static void OnSend(void* data, zwlr_data_control_source_v1*, const char* mime_type,
                     int32_t fd) {
    Self(data).events_.OnSend(mime_type, fd);
  }
  static void OnCancelled(void* data, zwlr_data_control_source_v1* source) {
    DataControlChannel& self = Self(data);
    if (source != self.source_) return;
    self.DropSource();
    self.events_.OnCancelled();
  }

  static void DestroyOffer(wl_proxy* offer) {
    zwlr_data_control_offer_v1_destroy(reinterpret_cast<zwlr_data_control_offer_v1*>(offer));
  }

  static constexpr zwlr_data_control_device_v1_listener kDeviceListener = {
      OnDataOffer, OnSelection, OnFinished, OnPrimarySelection};
  static constexpr zwlr_data_control_source_v1_listener kSourceListener = {OnSend, OnCancelled};

  zwlr_data_control_manager_v1* manager_;
  Events& events_;
  zwlr_data_control_device_v1* device_ = nullptr;
  zwlr_data_control_source_v1* source_ = nullptr;
  OfferSet offers_{&DestroyOffer};
  bool abandoned_ = false;
};

}  // namespace

std::unique_ptr<SelectionChannel> MakeDataControlChannel(wl_seat* seat,
                                                         zwlr_data_control_manager_v1* manager,
                                                         SelectionChannel::Events& events) {
  return std::make_unique<DataControlChannel>(seat, manager, events);
}

}  // namespace ostrel
