// Which ostrel the launcher runs: its own folder's first, then PATH's
// absolute entries in order.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "idle/saver_location.h"

namespace ostrel {
namespace {

TEST(SaverLocation, OwnFolderThenPath) {
  const struct {
    const char* what;
    const char* own_folder;
    const char* path;
    std::set<std::string> executables;
    const char* expected;  // null: none found
  } cases[] = {
      {"beside the launcher", "/usr/bin", "/usr/local/bin:/usr/bin",
       {"/usr/bin/ostrel", "/usr/local/bin/ostrel"}, "/usr/bin/ostrel"},
      {"a build's own program", "/src/build/release", "/usr/bin",
       {"/src/build/release/ostrel", "/usr/bin/ostrel"}, "/src/build/release/ostrel"},
      {"none beside: the first on PATH", "/opt/idle", "/a:/b:/c", {"/b/ostrel", "/c/ostrel"},
       "/b/ostrel"},
      {"trailing slashes", "/opt/idle/", "/a/", {"/a/ostrel"}, "/a/ostrel"},
      {"empty and relative entries are skipped", "", ":bin:./x:/ok", {"bin/ostrel", "./x/ostrel",
       "ostrel", "/ok/ostrel"}, "/ok/ostrel"},
      {"own folder unknown", "", "/usr/bin", {"/usr/bin/ostrel"}, "/usr/bin/ostrel"},
      {"nowhere", "/opt/idle", "/usr/bin:/bin", {}, nullptr},
      {"no PATH", "/opt/idle", "", {"/usr/bin/ostrel"}, nullptr},
  };
  for (const auto& c : cases) {
    std::set<std::string> asked;
    const auto found = FindSaver(c.own_folder, c.path, [&](const std::string& candidate) {
      asked.insert(candidate);
      return c.executables.count(candidate) > 0;
    });
    if (c.expected == nullptr) {
      EXPECT_FALSE(found.has_value()) << c.what << ": found " << *found;
    } else {
      ASSERT_TRUE(found.has_value()) << c.what;
      EXPECT_EQ(*found, c.expected) << c.what;
    }
    for (const auto& candidate : asked) {
      EXPECT_EQ(candidate.front(), '/') << c.what << ": asked about a relative " << candidate;
    }
  }
}

TEST(SaverLocation, TheLineNamesAnOstrelBesideThatIsNotExecutable) {
  const std::string present = NoSaverMessage("/opt/idle", /*beside_present=*/true);
  EXPECT_NE(present.find("/opt/idle/ostrel"), std::string::npos) << present;
  EXPECT_NE(present.find("not an executable"), std::string::npos) << present;
  EXPECT_EQ(present.find("no ostrel beside"), std::string::npos) << present;
  EXPECT_NE(NoSaverMessage("/opt/idle", false).find("no ostrel beside"), std::string::npos);
}

}  // namespace
}  // namespace ostrel
