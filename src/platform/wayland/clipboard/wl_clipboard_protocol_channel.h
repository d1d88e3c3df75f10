#pragma once

// What the two selection protocols do alike: a device for the seat, one
// source of ours at a time, the other clients' offers. `Protocol` names the
// objects and requests of one of them:
//   types Manager, Device, Source; constant kNeedsSerial;
//   GetDevice(manager, seat), CreateSource(manager), OfferType(source, mime),
//   SetSelection(device, source, serial), Listen(device or source, channel),
//   Destroy(device or source), DestroyOffer(offer proxy).
// Its listeners call back into the channel's On* members.

#include <wayland-client-core.h>

#include "platform/wayland/clipboard/wl_clipboard_channel.h"
#include "platform/wayland/clipboard/wl_clipboard_offers.h"

namespace ostrel {

template <typename Protocol>
class ProtocolChannel final : public SelectionChannel {
 public:
  using Manager = typename Protocol::Manager;
  using Device = typename Protocol::Device;
  using Source = typename Protocol::Source;

  ProtocolChannel(wl_seat* seat, Manager* manager, Events& events)
      : manager_(manager), events_(events) {
    device_ = Protocol::GetDevice(manager, seat);
    if (device_ != nullptr) Protocol::Listen(device_, this);
  }

  ~ProtocolChannel() override { Free(FreeMode::kWithRequests); }

  bool NeedsSerial() const override { return Protocol::kNeedsSerial; }

  bool SetSelection(const char* mime_type, std::uint32_t serial) override {
    DropSource();
    if (device_ == nullptr) return false;
    source_ = Protocol::CreateSource(manager_);
    if (source_ == nullptr) return false;
    Protocol::Listen(source_, this);
    Protocol::OfferType(source_, mime_type);
    Protocol::SetSelection(device_, source_, serial);
    return true;
  }

  void DropSource() override {
    if (source_ != nullptr) Protocol::Destroy(source_);
    source_ = nullptr;
  }

  void MoveToQueue(wl_event_queue* queue) override {
    if (device_ != nullptr) wl_proxy_set_queue(AsProxy(device_), queue);
    if (source_ != nullptr) wl_proxy_set_queue(AsProxy(source_), queue);
    offers_.MoveToQueue(queue);
  }

  void Free(FreeMode mode) override {
    if (mode == FreeMode::kWithRequests) {
      DropSource();
      if (device_ != nullptr) Protocol::Destroy(device_);
    } else {
      if (source_ != nullptr) wl_proxy_destroy(AsProxy(source_));
      if (device_ != nullptr) wl_proxy_destroy(AsProxy(device_));
    }
    offers_.Free(mode);
    source_ = nullptr;
    device_ = nullptr;
  }

  // --- Called by the protocol's listeners. ---

  void OnOfferAnnounced(void* offer) { offers_.Add(AsProxy(offer)); }
  void OnOfferSelected(OfferSet::Slot slot, void* offer) { offers_.Select(slot, AsProxy(offer)); }
  void OnSend(const char* mime_type, int fd) { events_.OnSend(mime_type, fd); }
  void OnCancelled(Source* source) {
    if (source != source_) return;  // an earlier source of ours
    DropSource();
    events_.OnCancelled();
  }
  // The seat is gone: the device can do nothing more, and our selection went
  // with the seat.
  void OnDeviceFinished() {
    offers_.Free(FreeMode::kWithRequests);
    Protocol::Destroy(device_);
    device_ = nullptr;
    DropSource();
    events_.OnCancelled();
  }

 private:
  static wl_proxy* AsProxy(void* object) { return static_cast<wl_proxy*>(object); }

  Manager* manager_;
  Events& events_;
  Device* device_ = nullptr;
  Source* source_ = nullptr;
  OfferSet offers_{&Protocol::DestroyOffer};
};

}  // namespace ostrel
