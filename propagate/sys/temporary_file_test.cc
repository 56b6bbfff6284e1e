#include "sys/temporary_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sys/descriptor.h"
#include "sys/test_support.h"

namespace {

std::vector<std::string> Names(const std::string& directory) {
  std::vector<std::string> names;
  DIR* stream = opendir(directory.c_str());
  while (const struct dirent* entry = stream ? readdir(stream) : nullptr)
    if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
      names.push_back(entry->d_name);
  if (stream)
    closedir(stream);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(TemporaryFile, NamesOfTheTemporaryForm) {
  struct Case {
    const char* name;
    bool temporary;
  } cases[] = {
      {".big.propagate-a1B2c3", true},  {".x.y.propagate-ZZZZZZ", true}, {"..propagate-abcdef", false},
      {"big.propagate-a1B2c3", false},  {".big.propagate-a1B2c", false}, {".big.propagate-a1B2c3d", false},
      {".big.propagate-a1-2c3", false}, {".propagate-a1B2c3", false},    {".big.propagated-a1B2c3", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.temporary, IsTemporaryName(c.name)) << c.name;
}

TEST(TemporaryFile, RenamedOrRemovedWithTheObject) {
  TempDir dir;
  CDescriptor directory(open(dir.Path().c_str(), O_PATH | O_DIRECTORY));
  int error = 0;
  {
    auto kept = CTemporaryFile::Create(directory.Get(), "kept", 0600, error);
    ASSERT_TRUE(kept);
    EXPECT_TRUE(IsTemporaryName(kept->Name()));
    EXPECT_EQ(0, kept->Close());
    EXPECT_EQ(0, kept->RenameTo("kept"));
    auto dropped = CTemporaryFile::Create(directory.Get(), "dropped", 0600, error);
    ASSERT_TRUE(dropped);
    EXPECT_EQ(2u, Names(dir.Path()).size());
  }
  EXPECT_EQ(std::vector<std::string>{"kept"}, Names(dir.Path()));
  EXPECT_EQ(nullptr, CTemporaryFile::Create(-1, "x", 0600, error));
  EXPECT_EQ(EBADF, error);
}

TEST(TemporaryFile, OnlyStaleRegularFilesAreSwept) {
  TempDir dir;
  CDescriptor directory(open(dir.Path().c_str(), O_PATH | O_DIRECTORY));
  WriteFile(dir / ".big.propagate-a1B2c3", "left by a killed run");
  WriteFile(dir / "big.propagate-a1B2c3", "not hidden: not ours");
  WriteFile(dir / ".big.propagate-kept", "suffix too short: not ours");
  ASSERT_EQ(0, mkdir((dir / ".d.propagate-a1B2c3").c_str(), 0700));
  ASSERT_EQ(0, symlink("nowhere", (dir / ".l.propagate-a1B2c3").c_str()));
  int error = 0;
  auto live = CTemporaryFile::Create(directory.Get(), "live", 0600, error);
  ASSERT_TRUE(live);
  RemoveStaleTemporaryFiles(directory.Get());
  std::vector<std::string> expected = {".big.propagate-kept", ".d.propagate-a1B2c3", ".l.propagate-a1B2c3",
                                       live->Name(), "big.propagate-a1B2c3"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, Names(dir.Path()));
}
