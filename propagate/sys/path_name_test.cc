#include "sys/path_name.h"

#include <gtest/gtest.h>

TEST(PathName, NormalisePath) {
  struct Case {
    const char* name;
    bool known;
    const char* normal;
  } cases[] = {
      {"a/b", true, "a/b"},
      {"a//b", true, "a/b"},
      {"./a/./b/", true, "a/b"},
      {"/a/b", true, "a/b"},  // relative to the base directory either way
      {"", true, ""},
      {".", true, ""},
      {"a/../b", false, ""},
      {"..", false, ""},
      {"a/..b", true, "a/..b"},  // only a whole component ".." leads elsewhere
  };
  for (const Case& c : cases) {
    std::string normal = "left over";
    EXPECT_EQ(c.known, NormalisePath(c.name, normal)) << c.name;
    if (c.known) {
      EXPECT_EQ(c.normal, normal) << c.name;
    }
  }
}

TEST(PathName, WithTrailingSlash) {
  struct Case {
    const char* path;
    const char* result;
  } cases[] = {{"repo", "repo/"}, {"repo/", "repo/"}, {"repo//", "repo//"}, {"/", "/"}, {"", "/"}, {"a/b", "a/b/"}};
  for (const Case& c : cases)
    EXPECT_EQ(c.result, WithTrailingSlash(c.path)) << c.path;
}
