#pragma once

// The selection through the core data device (wl_data_device_manager), for
// compositors without data-control: setting it needs the serial of an input
// event received while one of our surfaces has the focus.

#include <memory>

#include "platform/wayland/clipboard/wl_clipboard_channel.h"

struct wl_seat;
struct wl_data_device_manager;

namespace ostrel {

std::unique_ptr<SelectionChannel> MakeDataDeviceChannel(wl_seat* seat,
                                                        wl_data_device_manager* manager,
                                                        SelectionChannel::Events& events);

}  // namespace ostrel
