#pragma once

// The screen copied with the wlroots screen-copy protocol
// (zwlr_screencopy_manager_v1): each output into shared memory, straight into
// the frame when its rows fit, without the cursor. The compositor's
// connection must be registered in `waiter`.

#include <memory>

#include "platform/posix/waiter.h"
#include "platform/wayland/screen_copy/screen_copier.h"

struct wl_shm;
struct zwlr_screencopy_manager_v1;

namespace ostrel {

std::unique_ptr<ScreenCopier> MakeWlrScreenCopier(Waiter& waiter,
                                                  zwlr_screencopy_manager_v1* manager, wl_shm* shm);

}  // namespace ostrel
