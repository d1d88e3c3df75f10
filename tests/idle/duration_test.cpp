// --after's durations and the launcher's command line: what a user writes is
// read as meant, and everything else is refused with a reason.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "idle/duration.h"
#include "idle/idle_options.h"
#include "idle/session_blanking.h"

namespace ostrel {
namespace {

using std::chrono::hours;
using std::chrono::milliseconds;
using std::chrono::minutes;
using std::chrono::seconds;

TEST(Duration, WhatUsersWrite) {
  const struct {
    const char* text;
    milliseconds expected;
  } cases[] = {
      {"90s", seconds(90)},   {"10m", minutes(10)},          {"1h30m", minutes(90)},
      {"2h", hours(2)},       {"600", seconds(600)},         {"1m30s", seconds(90)},
      {"1h0m5s", seconds(3605)}, {"05m", minutes(5)},        {"1s", seconds(1)},
      {"24h", hours(24)},     {"90m", minutes(90)},          {"86400", hours(24)},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto parsed = ParseDuration(c.text, &error);
    ASSERT_TRUE(parsed.has_value()) << c.text << ": " << error;
    EXPECT_EQ(*parsed, c.expected) << c.text;
  }
}

TEST(Duration, JunkIsRefusedWithAReason) {
  const struct {
    const char* text;
    const char* reason;  // a part of the message
  } cases[] = {
      {"", "empty"},
      {"abc", "not a duration"},
      {"10x", "not a duration"},
      {"-5s", "not a duration"},
      {"1.5m", "not a duration"},
      {"1m1h", "not a duration"},  // units from hours down
      {"1h1h", "not a duration"},  // each once
      {"1m30", "needs its own unit"},
      {"10 m", "not a duration"},
      {"m", "not a duration"},
      {"10M", "not a duration"},
      {"0", "too short"},
      {"0s", "too short"},
      {"0h0m0s", "too short"},
      {"24h1s", "too long"},
      {"25h", "too long"},
      {"99999999999999999999999s", "too long"},  // no overflow into something short
      {"9999999999h9999999999m", "too long"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(ParseDuration(c.text, &error).has_value()) << "'" << c.text << "' was accepted";
    EXPECT_NE(error.find(c.reason), std::string::npos) << "'" << c.text << "': " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << "one line: " << error;
  }
}

TEST(Duration, FormattedAsItIsRead) {
  for (const milliseconds d : {milliseconds(seconds(1)), milliseconds(seconds(90)),
                               milliseconds(minutes(10)), milliseconds(seconds(5405)),
                               milliseconds(hours(24))}) {
    std::string error;
    const std::string text = FormatDuration(d);
    EXPECT_EQ(ParseDuration(text, &error), d) << text << " " << error;
  }
  EXPECT_EQ(FormatDuration(seconds(5405)), "1h30m5s");
}

TEST(SessionBlanking, WarnedOnlyWhenTheSessionBlanksFirst) {
  using std::chrono::seconds;
  const SessionBlanking gnome{seconds(300), "gsettings ..."};
  EXPECT_TRUE(BlankingWarning(std::chrono::minutes(10), gnome)) << "5 min before 10 min";
  EXPECT_FALSE(BlankingWarning(std::chrono::minutes(5), gnome)) << "at the same time";
  EXPECT_FALSE(BlankingWarning(std::chrono::minutes(2), gnome)) << "later";
  EXPECT_FALSE(BlankingWarning(std::chrono::minutes(10), SessionBlanking{seconds(0), ""}))
      << "never blanks";
  const auto warning = BlankingWarning(std::chrono::minutes(10), gnome);
  ASSERT_TRUE(warning);
  EXPECT_NE(warning->find("5m"), std::string::npos) << *warning;
  EXPECT_NE(warning->find("10m"), std::string::npos) << *warning;
  EXPECT_NE(warning->find("gsettings ..."), std::string::npos) << *warning;
  // The X server's saver off hides xdg-screensaver's holds: said at once.
  const auto off = BlankingWarning(std::chrono::minutes(10), SessionBlanking{seconds(0), "xset s N", true});
  ASSERT_TRUE(off) << "the X server's saver off";
  EXPECT_NE(off->find("xdg-screensaver"), std::string::npos) << *off;
  EXPECT_FALSE(BlankingWarning(std::chrono::minutes(10), SessionBlanking{seconds(900), "", true}))
      << "on, later than --after";

  EXPECT_EQ(ParseGsettingsSeconds("uint32 300\n"), seconds(300));
  EXPECT_EQ(ParseGsettingsSeconds("uint32 0"), seconds(0));
  EXPECT_EQ(ParseGsettingsSeconds("'300'"), std::nullopt);
  EXPECT_EQ(ParseGsettingsSeconds(""), std::nullopt);
}

TEST(IdleOptions, CommandLines) {
  struct Case {
    std::vector<std::string> args;
    bool ok;
    IdleOptions::Action action;
    milliseconds after;
    const char* error_part;
  };
  using Action = IdleOptions::Action;
  const std::vector<Case> cases = {
      {{}, true, Action::kRun, kDefaultIdle, ""},
      {{"--after", "3s"}, true, Action::kRun, seconds(3), ""},
      {{"--after=1h30m"}, true, Action::kRun, minutes(90), ""},
      {{"--after", "1m", "--after", "2m"}, true, Action::kRun, minutes(2), ""},
      {{"--help"}, true, Action::kHelp, kDefaultIdle, ""},
      {{"-h"}, true, Action::kHelp, kDefaultIdle, ""},
      {{"--version"}, true, Action::kVersion, kDefaultIdle, ""},
      {{"--after"}, false, Action::kRun, kDefaultIdle, "needs a duration"},
      {{"--after", "soon"}, false, Action::kRun, kDefaultIdle, "--after: 'soon' is not"},
      {{"--after="}, false, Action::kRun, kDefaultIdle, "--after: an empty duration"},
      {{"--after", "0s"}, false, Action::kRun, kDefaultIdle, "too short"},
      {{"--bogus"}, false, Action::kRun, kDefaultIdle, "unknown option '--bogus'"},
      {{"-a"}, false, Action::kRun, kDefaultIdle, "unknown option '-a'"},
      {{"10m"}, false, Action::kRun, kDefaultIdle, "unexpected argument '10m'"},
      {{"--after", "3s", "extra"}, false, Action::kRun, kDefaultIdle, "unexpected argument"},
  };
  for (const Case& c : cases) {
    IdleOptions options;
    options.after = seconds(12345);  // untouched on failure
    std::string error;
    std::string shown;
    for (const auto& arg : c.args) shown += "[" + arg + "]";
    ASSERT_EQ(ParseIdleOptions(c.args, &options, &error), c.ok) << shown << ": " << error;
    if (c.ok) {
      EXPECT_EQ(options.action, c.action) << shown;
      EXPECT_EQ(options.after, c.after) << shown;
    } else {
      EXPECT_NE(error.find(c.error_part), std::string::npos) << shown << ": " << error;
      EXPECT_EQ(options.after, seconds(12345)) << shown << ": changed although refused";
    }
  }
}

}  // namespace
}  // namespace ostrel
