#include "path_name.h"

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
