#pragma once

// The screen copied through GNOME's own screen cast (org.gnome.Mutter.
// ScreenCast, version 4 and later, on the session bus): a session recording
// each monitor by its connector (cursor hidden, is-recording: the top bar
// shows its small recording dot), one frame from each monitor's PipeWire
// stream, copied straight into its place, and the session stopped. No
// question, no flash, no sound: the portal's way has all three. Its streams
// need PipeWire's session manager: without one no frame comes, and after
// its patience the next way is tried.

#include <chrono>
#include <memory>

#include "platform/posix/waiter.h"
#include "platform/wayland/screen_copy/screen_copier.h"

namespace ostrel {

class DesktopBus;

// First frames come within about 100 ms for two 1080p monitors; a session
// without PipeWire's session manager never sends one, and the portal is
// asked after this long.
inline constexpr Clock::duration kScreenCastPatience = std::chrono::seconds(1);

std::unique_ptr<ScreenCopier> MakeMutterScreenCaster(DesktopBus& bus, Waiter& waiter);

}  // namespace ostrel
