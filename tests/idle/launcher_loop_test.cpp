// The launcher's loop as the watchers drive it: an idle time and the user's
// return reported in one dispatch start nothing.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "idle/launcher.h"
#include "idle/posix/launcher_loop.h"
#include "idle/posix/launcher_signals.h"
#include "idle/posix/saver_process.h"

namespace ostrel {
namespace {

TEST(LauncherLoop, AnIdleTimeCancelledInTheSameDispatchStartsNothing) {
  struct Case {
    const char* what;
    bool active_after_idle;
    bool starts;
  };
  for (const Case& c : {Case{"the idle time alone", false, true},
                        Case{"the idle time, then the user back", true, false}}) {
    // A saver that cannot be run: trying to start it says so on stderr.
    const std::string saver = "/nonexistent/ostrel-saver";
    Launcher launcher(saver);
    SaverProcess process(saver);
    LauncherLoop loop(launcher, process, std::chrono::seconds(1));
    std::string error;
    const auto signals = LauncherSignals::Take(&error);
    ASSERT_NE(signals, nullptr) << error;
    const IdleWatcher::Reports reports = loop.Reports();
    reports.idle();
    if (c.active_after_idle) reports.active();
    // The end comes with the first wait, after what was reported is taken.
    kill(getpid(), SIGTERM);
    testing::internal::CaptureStderr();
    const int status = loop.Run(*signals);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.find("cannot start") != std::string::npos, c.starts) << c.what << ": " << said;
    if (!c.starts) {
      EXPECT_EQ(status, 0) << c.what;
    }
  }
}

}  // namespace
}  // namespace ostrel
