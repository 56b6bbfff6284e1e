#include "install/download_area.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "sys/run_error.h"
#include "sys/test_support.h"

TEST(DownloadArea, MadePrivateKeptWhenItsOwnAndRefusedOtherwise) {
  struct Case {
    const char* what;
    std::function<void(const std::string& area)> prepare;
    const char* failure;  // nullptr: accepted
  } cases[] = {
      {"absent", [](const std::string&) {}, nullptr},
      {"left by an earlier run", [](const std::string& area) { ASSERT_EQ(0, mkdir(area.c_str(), 0700)); }, nullptr},
      {"writable by the group",
       [](const std::string& area) {
         ASSERT_EQ(0, mkdir(area.c_str(), 0700));
         ASSERT_EQ(0, chmod(area.c_str(), 0770));
       },
       "Refusing a download area that is not a directory of this user's alone (owner %u, mode 0770)"},
      {"a link", [](const std::string& area) { ASSERT_EQ(0, symlink("/tmp", area.c_str())); },
       "Refusing a download area that is not a directory of this user's alone (owner %u, mode 0777)"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    TempDir base;
    const std::string area = base / ".propagate-download";
    test.prepare(area);
    if (!test.failure) {
      CDownloadArea made(base.Path() + "/");
      EXPECT_EQ(area + "/", made.Path());
      EXPECT_EQ(0700u, StatPath(area).st_mode & 07777);
      WriteFile(area + "/object", "x");
      WriteFile(area + "/object.part", "y");
      made.Remove();
      EXPECT_NE(0, access(area.c_str(), F_OK));
      continue;
    }
    char expected[256];
    snprintf(expected, sizeof expected, test.failure, static_cast<unsigned>(geteuid()));
    try {
      CDownloadArea refused(base.Path() + "/");
      ADD_FAILURE() << "accepted";
    } catch (const RunError& error) {
      EXPECT_EQ(area + ": " + expected, error.what());
    }
  }
}
