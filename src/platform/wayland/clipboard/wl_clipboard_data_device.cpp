// The selection through the core data device, for compositors without the
// data-control interface: setting it needs the serial of an input event
// received while our surface has focus.

#include "platform/wayland/clipboard/wl_clipboard_data_device.h"

#include <wayland-client.h>

#include "platform/wayland/clipboard/wl_clipboard_protocol_channel.h"

namespace ostrel {
namespace {

struct DataDevice {
  using Manager = wl_data_device_manager;
  using Device = wl_data_device;
  using Source = wl_data_source;
  using Channel = ProtocolChannel<DataDevice>;
  static constexpr bool kNeedsSerial = true;

  static Device* GetDevice(Manager* manager, wl_seat* seat) {
    return wl_data_device_manager_get_data_device(manager, seat);
  }
  static Source* CreateSource(Manager* manager) {
    return wl_data_device_manager_create_data_source(manager);
  }
  static void OfferType(Source* source, const char* mime_type) {
    wl_data_source_offer(source, mime_type);
  }
  static void SetSelection(Device* device, Source* source, std::uint32_t serial) {
    wl_data_device_set_selection(device, source, serial);
  }
  static void Destroy(Device* device) {
    if (wl_data_device_get_version(device) >= WL_DATA_DEVICE_RELEASE_SINCE_VERSION) {
      wl_data_device_release(device);
    } else {
      wl_data_device_destroy(device);  // no request before version 2
    }
  }
  static void Destroy(Source* source) { wl_data_source_destroy(source); }
  static void DestroyOffer(wl_proxy* offer) {
    wl_data_offer_destroy(reinterpret_cast<wl_data_offer*>(offer));
  }

  static Channel& Of(void* data) { return *static_cast<Channel*>(data); }

  // Other clients' selections, and their drags over our surface: we accept
  // no drop, so a drag's offer goes at its leave or drop.
  static constexpr wl_data_device_listener kDevice = {
      .data_offer = [](void* data, Device*,
                       wl_data_offer* offer) { Of(data).OnOfferAnnounced(offer); },
      .enter = [](void* data, Device*, std::uint32_t, wl_surface*, wl_fixed_t, wl_fixed_t,
                  wl_data_offer* offer) { Of(data).OnOfferSelected(OfferSet::kDrag, offer); },
      .leave = [](void* data, Device*) { Of(data).OnOfferSelected(OfferSet::kDrag, nullptr); },
      .motion = [](void*, Device*, std::uint32_t, wl_fixed_t, wl_fixed_t) {},
      .drop = [](void* data, Device*) { Of(data).OnOfferSelected(OfferSet::kDrag, nullptr); },
      .selection =
          [](void* data, Device*, wl_data_offer* offer) {
            Of(data).OnOfferSelected(OfferSet::kSelection, offer);
          },
  };

  static constexpr wl_data_source_listener kSource = {
      .target = [](void*, Source*, const char*) {},
      .send = [](void* data, Source*, const char* mime_type,
                 int32_t fd) { Of(data).OnSend(mime_type, fd); },
      .cancelled = [](void* data, Source* cancelled) { Of(data).OnCancelled(cancelled); },
      .dnd_drop_performed = [](void*, Source*) {},
      .dnd_finished = [](void*, Source*) {},
      .action = [](void*, Source*, std::uint32_t) {},
  };

  static void Listen(Device* device, Channel* channel) {
    wl_data_device_add_listener(device, &kDevice, channel);
  }

  static void Listen(Source* source, Channel* channel) {
    wl_data_source_add_listener(source, &kSource, channel);
  }
};

}  // namespace

std::unique_ptr<SelectionChannel> MakeDataDeviceChannel(wl_seat* seat,
                                                        wl_data_device_manager* manager,
                                                        SelectionChannel::Events& events) {
  return std::make_unique<DataDevice::Channel>(seat, manager, events);
}

}  // namespace ostrel
