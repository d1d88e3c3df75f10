// The selection through the compositor's data-control interface: a device for
// the seat, and a source per offer. No focus or input serial is needed.

#include "platform/wayland/clipboard/wl_clipboard_data_control.h"

#include <wayland-client.h>

#include "platform/wayland/clipboard/wl_clipboard_protocol_channel.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

namespace ostrel {
namespace {

struct DataControl {
  using Manager = zwlr_data_control_manager_v1;
  using Device = zwlr_data_control_device_v1;
  using Source = zwlr_data_control_source_v1;
  using Channel = ProtocolChannel<DataControl>;
  static constexpr bool kNeedsSerial = false;

  static Device* GetDevice(Manager* manager, wl_seat* seat) {
    return zwlr_data_control_manager_v1_get_data_device(manager, seat);
  }
  static Source* CreateSource(Manager* manager) {
    return zwlr_data_control_manager_v1_create_data_source(manager);
  }
  static void OfferType(Source* source, const char* mime_type) {
    zwlr_data_control_source_v1_offer(source, mime_type);
  }
  static void SetSelection(Device* device, Source* source, std::uint32_t /*serial*/) {
    zwlr_data_control_device_v1_set_selection(device, source);
  }
  static void Destroy(Device* device) { zwlr_data_control_device_v1_destroy(device); }
  static void Destroy(Source* source) { zwlr_data_control_source_v1_destroy(source); }
  static void DestroyOffer(wl_proxy* offer) {
    zwlr_data_control_offer_v1_destroy(reinterpret_cast<zwlr_data_control_offer_v1*>(offer));
  }

  static Channel& Of(void* data) { return *static_cast<Channel*>(data); }

  static constexpr zwlr_data_control_device_v1_listener kDevice = {
      .data_offer = [](void* data, Device*,
                       zwlr_data_control_offer_v1* offer) { Of(data).OnOfferAnnounced(offer); },
      .selection =
          [](void* data, Device*, zwlr_data_control_offer_v1* offer) {
            Of(data).OnOfferSelected(OfferSet::kSelection, offer);
          },
      .finished = [](void* data, Device*) { Of(data).OnDeviceFinished(); },
      .primary_selection =
          [](void* data, Device*, zwlr_data_control_offer_v1* offer) {
            Of(data).OnOfferSelected(OfferSet::kPrimary, offer);
          },
  };

  static constexpr zwlr_data_control_source_v1_listener kSource = {
      .send = [](void* data, Source*, const char* mime_type,
                 int32_t fd) { Of(data).OnSend(mime_type, fd); },
      .cancelled = [](void* data, Source* cancelled) { Of(data).OnCancelled(cancelled); },
  };

  static void Listen(Device* device, Channel* channel) {
    zwlr_data_control_device_v1_add_listener(device, &kDevice, channel);
  }

  static void Listen(Source* source, Channel* channel) {
    zwlr_data_control_source_v1_add_listener(source, &kSource, channel);
  }
};

}  // namespace

std::unique_ptr<SelectionChannel> MakeDataControlChannel(wl_seat* seat,
                                                         zwlr_data_control_manager_v1* manager,
                                                         SelectionChannel::Events& events) {
  return std::make_unique<DataControl::Channel>(seat, manager, events);
}

}  // namespace ostrel
