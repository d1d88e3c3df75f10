#pragma once

// The screen copied with the wlroots screen-copy protocol
// (zwlr_screencopy_manager_v1): each output into shared memory, straight into
// the frame when its rows fit, without the cursor.

#include <memory>

#include "platform/wayland/screen_copy.h"

struct wl_display;
struct wl_shm;
struct zwlr_screencopy_manager_v1;

namespace ostrel {

std::unique_ptr<ScreenCopier> MakeWlrScreenCopier(wl_display* display,
                                                  zwlr_screencopy_manager_v1* manager, wl_shm* shm);

}  // namespace ostrel
