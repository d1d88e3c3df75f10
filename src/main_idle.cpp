// ostrel-idle: starts the screen saver ostrel whenever the session has been
// idle for a while (--after, ten minutes unless told), waits for it to end,
// and watches again. It watches GNOME sessions through mutter's idle monitor
// (honouring the session's inhibitors), other Wayland sessions through
// ext-idle-notify, and X11 sessions through the SYNC extension's idle time.
// On every session, no saver starts while an application holds screen
// savers off (org.freedesktop.ScreenSaver, which it serves where no desktop
// does; the desktops' power managers; logind's idle inhibitors; the X
// server's suspension). One launcher runs per session.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "idle/dbus/bus_holds.h"
#include "idle/gnome/gnome_idle_watcher.h"
#include "idle/idle_options.h"
#include "idle/launcher.h"
#include "idle/posix/launcher_loop.h"
#include "idle/posix/launcher_signals.h"
#include "idle/posix/saver_process.h"
#include "idle/posix/session_lock.h"
#include "idle/saver_location.h"
#include "platform/platform_error.h"
#include "platform/posix/end_signals.h"
#include "platform/posix/warning.h"
#ifdef OSTREL_HAVE_WAYLAND
#include "idle/wayland/wl_idle_watcher.h"
#endif
#ifdef OSTREL_HAVE_X11
#include "idle/x11/x11_idle_watcher.h"
#endif

namespace {

// The session's watcher, its connections in `waiter`: GNOME's idle monitor
// where it is on the session bus; else the Wayland compositor's idle
// notification; else, with no compositor at all, the X server's idle time
// (under a Wayland compositor an X server is XWayland, which sees only the
// input of X clients). Throws PlatformError with each one's reason when
// none can watch.
std::unique_ptr<ostrel::IdleWatcher> OpenWatcher(ostrel::Waiter& waiter,
                                                 std::chrono::milliseconds after,
                                                 const ostrel::IdleWatcher::Reports& reports) {
  std::string reasons;
  const auto note = [&reasons](const std::exception& failure) {
    reasons += (reasons.empty() ? "" : "; ") + std::string(failure.what());
  };
  try {
    return ostrel::GnomeIdleWatcher::Open(waiter, after, reports);
  } catch (const ostrel::PlatformError& failure) {
    note(failure);
  }
  [[maybe_unused]] bool answered = false;
#ifdef OSTREL_HAVE_WAYLAND
  try {
    return ostrel::WaylandIdleWatcher::Open(waiter, after, reports);
  } catch (const ostrel::NoDisplayServer& failure) {
    note(failure);
  } catch (const ostrel::PlatformError& failure) {
    answered = true;
    note(failure);
  }
#endif
#ifdef OSTREL_HAVE_X11
  if (!answered) {
    try {
      return ostrel::X11IdleWatcher::Open(waiter, after, reports);
    } catch (const ostrel::PlatformError& failure) {
      note(failure);
    }
  }
#endif
  throw ostrel::PlatformError(reasons);
}

}  // namespace

int main(int argc, char** argv) {
  // Until the loop takes them, SIGINT, SIGTERM and SIGHUP end the launcher
  // at once with status 0: no saver runs yet.
  ostrel::SetProgramName("ostrel-idle");
  ostrel::InstallEndSignals();

  ostrel::IdleOptions options;
  std::string error;
  if (!ostrel::ParseIdleOptions(std::vector<std::string>(argv + 1, argv + argc), &options,
                                &error)) {
    ostrel::Warn(error);
    return 2;
  }
  if (options.action == ostrel::IdleOptions::Action::kHelp) {
    std::fputs(ostrel::IdleUsage().c_str(), stdout);
    return 0;
  }
  if (options.action == ostrel::IdleOptions::Action::kVersion) {
    std::printf("ostrel-idle %s\n", OSTREL_VERSION);
    return 0;
  }

  std::string missing;
  const auto saver_path = ostrel::LocateSaver(&missing);
  if (!saver_path) {
    ostrel::Warn(missing);
    return 1;
  }
  // One launcher per session: a second one says which process is first.
  std::string lock_warning;
  const auto lock = ostrel::SessionLock::Take(&error, &lock_warning);
  if (!lock) {
    ostrel::Warn(error);
    return 1;
  }
  if (!lock_warning.empty()) ostrel::Warn(lock_warning);
  ostrel::Launcher launcher(*saver_path);
  ostrel::SaverProcess saver(*saver_path);

  // The loop exists before the watcher, which may report an idle time while
  // it opens: the loop takes it once it runs.
  ostrel::LauncherLoop loop(launcher, saver, options.after);
  std::unique_ptr<ostrel::IdleWatcher> watcher;
  try {
    watcher = OpenWatcher(loop.waiter(), options.after, loop.Reports());
  } catch (const ostrel::PlatformError& failure) {
    ostrel::Warn(std::string("cannot watch this session for idleness (") + failure.what() +
                 "); let the desktop's own idle tool start ostrel instead, such as swayidle "
                 "(swayidle -w timeout 600 ostrel)");
    return 1;
  }
  if (const auto blanking = watcher->Blanking()) {
    if (const auto warning = ostrel::BlankingWarning(options.after, *blanking)) {
      ostrel::Warn(*warning);
    }
  }
  // What can hold the saver off, asked (and followed) from the first idle
  // time on.
  if (auto server_hold = watcher->ServerHold()) {
    loop.holds().Add(std::move(server_hold));
  }
  ostrel::AddBusHolds(loop.holds(), loop.waiter(), [&loop] { return loop.saver_running(); });
  // From here on the loop takes the signals.
  auto signals = ostrel::LauncherSignals::Take(&error);
  if (!signals) {
    ostrel::Warn(error);
    return 1;
  }
  return loop.Run(*signals);
}
