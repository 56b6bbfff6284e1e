#include "sys/tree_walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sys/descriptor.h"
#include "sys/test_support.h"

namespace {

std::vector<StagedEntry> Walk(const std::string& top) {
  CDescriptor directory(open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::vector<StagedEntry> entries;
  WalkTree(directory.Get(), top + "/", entries);
  return entries;
}

}  // namespace

// Parents come before their contents and siblings in byte order, bytes from 0x80 last; links are
// recorded with their text and not followed.
TEST(TreeWalk, OrderAndKinds) {
  TempDir dir;
  for (const char* name : {"b", "a", "a/z", "a/y", "a-c", "\xc3\xa9", "B", "empty"})
    ASSERT_EQ(0, mkdir((dir / name).c_str(), 0755)) << name;
  WriteFile(dir / "a/y/file", "content");
  ASSERT_EQ(0, symlink("a", (dir / "link").c_str()));
  ASSERT_EQ(0, symlink("missing", (dir / "a/dangling").c_str()));
  std::vector<StagedEntry> entries = Walk(dir.Path());
  std::vector<std::string> paths;
  for (const StagedEntry& entry : entries)
    paths.push_back(entry.path);
  EXPECT_EQ((std::vector<std::string>{"B", "a", "a/dangling", "a/y", "a/y/file", "a/z", "a-c", "b", "empty", "link",
                                      "\xc3\xa9"}),
            paths);

  ASSERT_EQ(11u, entries.size());
  EXPECT_TRUE(S_ISLNK(entries[2].mode));
  EXPECT_EQ("missing", entries[2].target);
  EXPECT_TRUE(S_ISREG(entries[4].mode));
  EXPECT_EQ(7u, entries[4].size);
  EXPECT_EQ(1u, entries[4].links);
  EXPECT_TRUE(S_ISLNK(entries[9].mode));
  EXPECT_EQ("a", entries[9].target);
  struct stat status = StatPath(dir / "a/y/file");
  EXPECT_EQ(status.st_ino, entries[4].inode);
  EXPECT_EQ(status.st_dev, entries[4].device);
  EXPECT_EQ(status.st_mtim.tv_sec, entries[4].mtime);
  EXPECT_EQ(status.st_uid, entries[4].user);
  EXPECT_EQ(status.st_gid, entries[4].group);
}

TEST(TreeWalk, UnreadableDirectoryIsNamed) {
  if (IsRoot())
    GTEST_SKIP() << "root reads every directory";
  TempDir dir;
  ASSERT_EQ(0, mkdir((dir / "closed").c_str(), 0));
  std::string message = ErrorOf([&] { Walk(dir.Path()); });
  chmod((dir / "closed").c_str(), 0755);
  EXPECT_EQ(dir / "closed" + ": Cannot open: Permission denied", message);
}
