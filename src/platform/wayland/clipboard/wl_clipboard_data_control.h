#pragma once

// The selection through the compositor's data-control interface
// (zwlr_data_control_manager_v1): no focus or input serial needed.

#include <memory>

#include "platform/wayland/clipboard/wl_clipboard_channel.h"

struct wl_seat;
struct zwlr_data_control_manager_v1;

namespace ostrel {

std::unique_ptr<SelectionChannel> MakeDataControlChannel(wl_seat* seat,
                                                         zwlr_data_control_manager_v1* manager,
                                                         SelectionChannel::Events& events);

}  // namespace ostrel
