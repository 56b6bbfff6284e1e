#include "sys/run_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

TEST(RunError, FailFormatsTheWholeMessage) {
  try {
    Fail("%s: Cannot open: %s (%d)", "/a/b", "No such file or directory", 2);
    FAIL() << "Fail returned";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ("/a/b: Cannot open: No such file or directory (2)", error.what());
  }
}

TEST(RunError, FailErrnoEndsWithTheSystemsText) {
  try {
    FailErrno(ENOENT, "chmod(%s)", "/a/b");
  } catch (const RunError& error) {
    EXPECT_STREQ("chmod(/a/b): No such file or directory", error.what());
  }
}

TEST(RunError, LongMessagesAreNotCut) {
  std::string long_name(100000, 'n');
  try {
    Fail("mkdir(%s): %s", long_name.c_str(), "x");
  } catch (const RunError& error) {
    EXPECT_EQ("mkdir(" + long_name + "): x", error.what());
  }
}
