// The launcher's decisions, one table of event sequences: what starts the
// saver and what does not, the failure streak's limits, ending by signal
// (the saver stopped first, killed after the grace time or a second signal),
// and a lost session.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "idle/failure_streak.h"
#include "idle/launcher.h"
#include "idle/session_lock_names.h"

namespace ostrel {
namespace {

using Action = LauncherStep::Action;
using std::chrono::milliseconds;

enum class Event { kIdle, kEndedOk, kEndedFailed, kStartFailed, kSignal, kLost, kClock, kWake };

struct Step {
  Event event;
  double at_seconds;  // since the case began
  Action expected;
  int exit_status = 0;  // with kExit
  std::size_t log_lines = 0;
};

struct Case {
  const char* what;
  std::vector<Step> steps;
};

const char* Name(Event event) {
  switch (event) {
    case Event::kIdle: return "idle";
    case Event::kEndedOk: return "saver ended ok";
    case Event::kEndedFailed: return "saver failed";
    case Event::kStartFailed: return "start failed";
    case Event::kSignal: return "signal";
    case Event::kLost: return "session lost";
    case Event::kClock: return "clock";
    case Event::kWake: return "simulated input";
  }
  return "?";
}

TEST(Launcher, EventSequences) {
  const Step idle_start{Event::kIdle, 0, Action::kStartSaver};
  const std::vector<Case> cases = {
      {"each idle time starts the saver once",
       {idle_start,
        {Event::kIdle, 1, Action::kNone},
        {Event::kEndedOk, 5, Action::kNone},
        {Event::kIdle, 20, Action::kStartSaver}}},
      {"a failure is logged and watching goes on",
       {idle_start,
        {Event::kEndedFailed, 1, Action::kNone, 0, 1},
        {Event::kIdle, 10, Action::kStartSaver},
        {Event::kEndedOk, 12, Action::kNone}}},
      {"three failures within a minute end the launcher",
       {idle_start,
        {Event::kEndedFailed, 1, Action::kNone, 0, 1},
        {Event::kIdle, 10, Action::kStartSaver},
        {Event::kEndedFailed, 11, Action::kNone, 0, 1},
        {Event::kIdle, 20, Action::kStartSaver},
        {Event::kEndedFailed, 21, Action::kExit, 1, 2},
        {Event::kIdle, 30, Action::kNone}}},
      {"exactly a minute from the first to the third still counts",
       {{Event::kIdle, 0, Action::kStartSaver},
        {Event::kEndedFailed, 0, Action::kNone, 0, 1},
        {Event::kIdle, 30, Action::kStartSaver},
        {Event::kEndedFailed, 30, Action::kNone, 0, 1},
        {Event::kIdle, 60, Action::kStartSaver},
        {Event::kEndedFailed, 60, Action::kExit, 1, 2}}},
      {"failures spread wider than a minute go on, until three fit in one",
       {idle_start,
        {Event::kEndedFailed, 0, Action::kNone, 0, 1},
        {Event::kIdle, 30, Action::kStartSaver},
        {Event::kEndedFailed, 30, Action::kNone, 0, 1},
        {Event::kIdle, 60, Action::kStartSaver},
        {Event::kEndedFailed, 61, Action::kNone, 0, 1},
        {Event::kIdle, 70, Action::kStartSaver},
        {Event::kEndedFailed, 70, Action::kExit, 1, 2}}},
      {"a run that succeeds ends the streak",
       {idle_start,
        {Event::kEndedFailed, 1, Action::kNone, 0, 1},
        {Event::kIdle, 2, Action::kStartSaver},
        {Event::kEndedFailed, 3, Action::kNone, 0, 1},
        {Event::kIdle, 4, Action::kStartSaver},
        {Event::kEndedOk, 5, Action::kNone},
        {Event::kIdle, 6, Action::kStartSaver},
        {Event::kEndedFailed, 7, Action::kNone, 0, 1},
        {Event::kIdle, 8, Action::kStartSaver},
        {Event::kEndedFailed, 9, Action::kNone, 0, 1}}},
      {"a saver that cannot be started counts as failing",
       {idle_start,
        {Event::kStartFailed, 0, Action::kNone, 0, 1},
        {Event::kIdle, 5, Action::kStartSaver},
        {Event::kStartFailed, 5, Action::kNone, 0, 1},
        {Event::kIdle, 10, Action::kStartSaver},
        {Event::kStartFailed, 10, Action::kExit, 1, 2}}},
      {"a signal while watching ends at once with 0",
       {{Event::kSignal, 0, Action::kExit, 0}, {Event::kIdle, 1, Action::kNone}}},
      {"a signal while the saver runs stops it first, then ends with 0",
       {idle_start,
        {Event::kSignal, 1, Action::kStopSaver},
        {Event::kClock, 5.9, Action::kNone},
        {Event::kIdle, 2, Action::kNone},
        {Event::kEndedOk, 3, Action::kExit, 0}}},
      {"a saver that outlives the grace time is killed",
       {idle_start,
        {Event::kSignal, 1, Action::kStopSaver},
        {Event::kClock, 6, Action::kKillSaver, 0, 1},
        {Event::kClock, 20, Action::kNone},
        {Event::kEndedFailed, 20, Action::kExit, 0}}},
      {"a second signal kills the saver at once",
       {idle_start,
        {Event::kSignal, 1, Action::kStopSaver},
        {Event::kSignal, 1.5, Action::kKillSaver},
        {Event::kSignal, 2, Action::kNone},
        {Event::kClock, 10, Action::kNone},
        {Event::kEndedFailed, 10, Action::kExit, 0}}},
      {"a lost session while watching ends with 1",
       {{Event::kLost, 0, Action::kExit, 1, 1}}},
      {"a lost session while the saver runs stops it first, then ends with 1",
       {idle_start,
        {Event::kLost, 1, Action::kStopSaver, 0, 1},
        {Event::kEndedOk, 2, Action::kExit, 1}}},
      {"simulated input stops the running saver, whose end is no failure",
       {{Event::kWake, 0, Action::kNone},
        idle_start,
        {Event::kWake, 1, Action::kStopSaver},
        {Event::kWake, 1.5, Action::kNone},
        {Event::kEndedFailed, 2, Action::kNone, 0, 0},
        {Event::kIdle, 3, Action::kStartSaver},
        {Event::kEndedFailed, 4, Action::kNone, 0, 1}}},
      {"failures while stopping are not counted",
       {idle_start,
        {Event::kEndedFailed, 0, Action::kNone, 0, 1},
        {Event::kIdle, 1, Action::kStartSaver},
        {Event::kEndedFailed, 1, Action::kNone, 0, 1},
        {Event::kIdle, 2, Action::kStartSaver},
        {Event::kSignal, 2, Action::kStopSaver},
        {Event::kEndedFailed, 3, Action::kExit, 0, 0}}},
  };
  for (const Case& c : cases) {
    Launcher launcher("/usr/bin/ostrel");
    const auto origin = Clock::now();
    int index = 0;
    for (const Step& s : c.steps) {
      const auto now = origin + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(s.at_seconds));
      LauncherStep got;
      switch (s.event) {
        case Event::kIdle: got = launcher.Idle(now); break;
        case Event::kEndedOk: got = launcher.SaverEnded(now, {false, "ended with status 0"}); break;
        case Event::kEndedFailed:
          got = launcher.SaverEnded(now, {true, "ended with status 1"});
          break;
        case Event::kStartFailed: got = launcher.StartFailed(now, "No such file"); break;
        case Event::kSignal: got = launcher.EndSignal(now); break;
        case Event::kLost: got = launcher.WatchLost(now, "the X server closed the connection"); break;
        case Event::kClock: got = launcher.DeadlinePassed(now); break;
        case Event::kWake: got = launcher.Wake(now); break;
      }
      const std::string where = std::string(c.what) + ", step " + std::to_string(index++) + " (" +
                                Name(s.event) + ")";
      EXPECT_EQ(got.action, s.expected) << where;
      if (s.expected == Action::kExit) {
        EXPECT_EQ(got.exit_status, s.exit_status) << where;
      }
      EXPECT_EQ(got.log.size(), s.log_lines) << where;
      for (const std::string& line : got.log) {
        EXPECT_EQ(line.find('\n'), std::string::npos) << where << ": " << line;
      }
    }
  }
}

TEST(Launcher, LogLinesNameTheSaverAndWhatHappened) {
  Launcher launcher("/opt/ostrel");
  const auto now = Clock::now();
  launcher.Idle(now);
  const LauncherStep failed = launcher.SaverEnded(now, {true, "was ended by signal 11 (Segmentation fault)"});
  ASSERT_EQ(failed.log.size(), 1U);
  EXPECT_EQ(failed.log[0], "/opt/ostrel was ended by signal 11 (Segmentation fault)");
  launcher.Idle(now);
  launcher.StartFailed(now, "Permission denied");
  launcher.Idle(now);
  const LauncherStep last = launcher.StartFailed(now, "Permission denied");
  ASSERT_EQ(last.log.size(), 2U);
  EXPECT_EQ(last.log[0], "cannot start /opt/ostrel: Permission denied");
  EXPECT_NE(last.log[1].find("3 times in a row within a minute"), std::string::npos) << last.log[1];
}

TEST(Launcher, TheDeadlineIsTheGraceTimeOnlyWhileStopping) {
  Launcher launcher("ostrel");
  const auto now = Clock::now();
  EXPECT_FALSE(launcher.Deadline().has_value());
  launcher.Idle(now);
  EXPECT_FALSE(launcher.Deadline().has_value()) << "a running saver waits on nothing";
  launcher.EndSignal(now);
  ASSERT_TRUE(launcher.Deadline().has_value());
  EXPECT_EQ(*launcher.Deadline(), now + Launcher::kStopGrace);
  launcher.DeadlinePassed(now + Launcher::kStopGrace);
  EXPECT_FALSE(launcher.Deadline().has_value()) << "killed once, nothing more to wait for";
}

TEST(SessionLockNames, OneLockPerDisplayWhateverItsSpelling) {
  const auto file = [](const char* x, const char* wayland) {
    std::string files;
    for (const auto& name : SessionLockNames(x, wayland)) files += name.file + " ";
    return files;
  };
  EXPECT_EQ(file(":0", ""), file(":0.0", "")) << "the screen is not the display";
  EXPECT_EQ(file(":0", ""), file("unix:0.1", "")) << "unix: is the local host";
  EXPECT_NE(file(":0", ""), file(":1", ""));
  EXPECT_NE(file(":10", ""), file("localhost:10", "")) << "another host's display";
  EXPECT_EQ(file("", ""), "");
  EXPECT_EQ(SessionLockNames(":0", "wayland-0").size(), 2U) << "both displays are locked";
  for (const auto& name : SessionLockNames("host/..:0", "/run/user/1000/../wayland-1")) {
    EXPECT_EQ(name.file.find('/'), std::string::npos) << name.file;
  }
  const std::string line = AlreadyWatchedMessage(4242, "/usr/bin/ostrel-idle", "X display :0");
  EXPECT_NE(line.find("4242"), std::string::npos) << line;
  EXPECT_NE(line.find("X display :0"), std::string::npos) << line;
}

}  // namespace
}  // namespace ostrel
