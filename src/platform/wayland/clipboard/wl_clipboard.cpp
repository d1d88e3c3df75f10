#include "platform/wayland/clipboard/wl_clipboard.h"

#include <unistd.h>
#include <wayland-client.h>

#include <cstring>
#include <optional>
#include <utility>

#include "platform/png_once.h"
#include "platform/posix/process_control.h"
#include "platform/wayland/clipboard/wl_clipboard_channel.h"
#include "platform/wayland/clipboard/wl_clipboard_data_control.h"
#include "platform/wayland/clipboard/wl_clipboard_data_device.h"
#include "platform/wayland/clipboard/wl_clipboard_serve.h"

namespace ostrel {
namespace {

constexpr const char* kPngType = "image/png";

}  // namespace

struct WaylandClipboard::State final : SelectionChannel::Events {
  State(wl_display* d, const PixelFormat& format) : display(d), png(format) {}

  void OnSend(const char* mime_type, int fd) override {
    if (std::strcmp(mime_type, kPngType) == 0) {
      std::shared_ptr<const PngBytes> bytes = png.Get();
      if (bytes != nullptr) {
        writers.Start(fd, std::move(bytes));  // closes fd
        return;
      }
    }
    writers.Reap();
    close(fd);  // a type we do not offer, or no PNG: the reader gets nothing
  }

  void OnCancelled() override {
    owned = false;
    waiting_for_serial = false;
    png.Clear();
  }

  // The channel, made when first needed: a new device is sent the current
  // selection at once, which would otherwise arrive while the screen is
  // being copied and wake that wait once more.
  bool HasChannel() {
    if (channel == nullptr && make_channel) channel = std::exchange(make_channel, nullptr)();
    return channel != nullptr;
  }

  // Sets our source as the selection, if the channel can now.
  void TrySetSelection() {
    if (channel->NeedsSerial() && !input_serial) {
      waiting_for_serial = true;
      return;
    }
    waiting_for_serial = false;
    owned = channel->SetSelection(kPngType, input_serial.value_or(0));
    if (!owned) png.Clear();
  }

  wl_display* display;
  std::function<std::unique_ptr<SelectionChannel>()> make_channel;
  std::unique_ptr<SelectionChannel> channel;
  PngOnce png;
  TransferWriters writers;
  std::optional<std::uint32_t> input_serial;
  bool owned = false;
  bool waiting_for_serial = false;
  bool handed_over = false;
};

WaylandClipboard::WaylandClipboard(wl_display* display, wl_seat* seat,
                                   zwlr_data_control_manager_v1* data_control,
                                   wl_data_device_manager* data_device_manager,
                                   const PixelFormat& format)
    : state_(std::make_unique<State>(display, format)) {
  if (display == nullptr || seat == nullptr) return;
  State& s = *state_;
  if (data_control != nullptr) {
    s.make_channel = [&s, seat, data_control] {
      return MakeDataControlChannel(seat, data_control, s);
    };
  } else if (data_device_manager != nullptr) {
    s.make_channel = [&s, seat, data_device_manager] {
      return MakeDataDeviceChannel(seat, data_device_manager, s);
    };
  }
}

WaylandClipboard::~WaylandClipboard() {
  if (state_->channel != nullptr) {
    state_->channel->Free(state_->handed_over ? FreeMode::kSilently : FreeMode::kWithRequests);
  }
  state_->channel.reset();
  state_->writers.Reap();  // writers still at work finish on their own
}

bool WaylandClipboard::CanOffer() const {
  return state_->channel != nullptr || state_->make_channel != nullptr;
}

void WaylandClipboard::Own(Picture picture, PictureLender lend) {
  State& s = *state_;
  if (s.handed_over || picture == nullptr || picture->Empty() || !s.HasChannel()) return;
  s.png.Reset(std::move(picture), std::move(lend));
  s.TrySetSelection();
}

void WaylandClipboard::NoteInputSerial(std::uint32_t serial) {
  State& s = *state_;
  s.input_serial = serial;
  if (s.waiting_for_serial && !s.handed_over) s.TrySetSelection();
}

bool WaylandClipboard::Owned() const { return state_->owned; }

Picture WaylandClipboard::Read() const { return state_->owned ? state_->png.picture() : nullptr; }

bool WaylandClipboard::KeepServingAfterExit() noexcept {
  State& s = *state_;
  if (!s.owned || s.handed_over) return false;
  const auto adopt = [&s](wl_event_queue* queue) {
    s.writers.Forget();  // the program's writers are not the server's children
    s.channel->MoveToQueue(queue);
  };
  if (!ForkServer(s.display, adopt, s.owned, s.writers)) return false;
  s.handed_over = true;
  s.owned = false;
  return true;
}

}  // namespace ostrel
