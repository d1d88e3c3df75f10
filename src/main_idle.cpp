// ostrel-idle: starts the screen saver ostrel whenever the session has been
// idle for a while (--after, ten minutes unless told), waits for it to end,
// and watches again. It watches GNOME sessions through mutter's idle monitor
// (honouring the session's inhibitors), other Wayland sessions through
// ext-idle-notify, and X11 sessions through the SYNC extension's idle time.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "idle/gnome/gnome_idle_watcher.h"
#include "idle/idle_options.h"
#include "idle/launcher.h"
#include "idle/posix/launcher_loop.h"
#include "idle/posix/launcher_signals.h"
#include "idle/posix/saver_process.h"
#include "idle/saver_location.h"
#include "platform/posix/end_signals.h"
#ifdef OSTREL_HAVE_WAYLAND
#include "idle/wayland/wl_idle_watcher.h"
#endif
#ifdef OSTREL_HAVE_X11
#include "idle/x11/x11_idle_watcher.h"
#endif

namespace {

// The session's watcher: GNOME's idle monitor where it is on the session bus;
// else the Wayland compositor's idle notification; else, with no compositor
// at all, the X server's idle time (under a Wayland compositor an X server is
// XWayland, which sees only the input of X clients). Null, with each one's
// reason in `error`, when none can watch.
std::unique_ptr<ostrel::IdleWatcher> OpenWatcher(std::chrono::milliseconds after,
                                                 const ostrel::IdleWatcher::IdleHandler& on_idle,
                                                 std::string* error) {
  std::vector<std::string> reasons;
  std::string why;
  if (auto watcher = ostrel::GnomeIdleWatcher::Open(after, on_idle, &why)) return watcher;
  reasons.push_back(why);
  [[maybe_unused]] bool answered = false;
#ifdef OSTREL_HAVE_WAYLAND
  if (auto watcher = ostrel::WaylandIdleWatcher::Open(after, on_idle, &why, &answered)) {
    return watcher;
  }
  reasons.push_back(why);
#endif
#ifdef OSTREL_HAVE_X11
  if (!answered) {
    if (auto watcher = ostrel::X11IdleWatcher::Open(after, on_idle, &why)) return watcher;
    reasons.push_back(why);
  }
#endif
  error->clear();
  for (const std::string& reason : reasons) *error += (error->empty() ? "" : "; ") + reason;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  // Until the loop takes them, SIGINT, SIGTERM and SIGHUP end the launcher
  // at once with status 0: no saver runs yet.
  ostrel::InstallEndSignals();

  ostrel::IdleOptions options;
  std::string error;
  if (!ostrel::ParseIdleOptions(std::vector<std::string>(argv + 1, argv + argc), &options,
                                &error)) {
    std::fprintf(stderr, "ostrel-idle: %s\n", error.c_str());
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

  const auto saver_path = ostrel::LocateSaver();
  if (!saver_path) {
    std::fprintf(stderr, "ostrel-idle: no %s beside ostrel-idle or on PATH\n",
                 ostrel::kSaverName);
    return 1;
  }
  ostrel::Launcher launcher(*saver_path);
  ostrel::SaverProcess saver(*saver_path);

  // The loop exists before the watcher, which may report an idle time while
  // it opens: the loop takes it once it runs.
  ostrel::LauncherLoop loop(launcher, saver);
  auto watcher = OpenWatcher(options.after, loop.IdleHandler(), &error);
  if (!watcher) {
    std::fprintf(stderr,
                 "ostrel-idle: cannot watch this session for idleness (%s); let the desktop's "
                 "own idle tool start ostrel instead, such as swayidle "
                 "(swayidle -w timeout 600 ostrel)\n",
                 error.c_str());
    return 1;
  }
  if (const auto blanking = watcher->Blanking()) {
    if (const auto warning = ostrel::BlankingWarning(options.after, *blanking)) {
      std::fprintf(stderr, "ostrel-idle: %s\n", warning->c_str());
    }
  }
  // From here on the loop takes the signals.
  auto signals = ostrel::LauncherSignals::Take(&error);
  if (!signals) {
    std::fprintf(stderr, "ostrel-idle: %s\n", error.c_str());
    return 1;
  }
  return loop.Run(*watcher, *signals);
}
