#include "install/propagator.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sys/test_support.h"

TEST(Propagator, ConstructorCreatesOnlyTheLastComponent) {
  TempDir dir;
  mode_t old_mask = umask(022);
  CPropagator created(false, dir / "repo/", dir / "base/");
  EXPECT_EQ(S_IFDIR | 0755u, StatPath(dir / "base").st_mode);
  CPropagator again(true, dir / "repo/", dir / "base/");  // an existing directory is no error
  EXPECT_TRUE(again.interactive);
  // A missing parent is not made, and the run ends at once, a dry run as well.
  for (bool dryRun : {false, true})
    EXPECT_EQ("mkdir(" + dir / "x/y/): No such file or directory",
              ErrorOf([&] { CPropagator deep(false, dir / "repo/", dir / "x/y/", dryRun); }));
  struct stat status;
  EXPECT_NE(0, lstat((dir / "x").c_str(), &status));
  umask(old_mask);
  EXPECT_EQ(EntryKind::None, created.tableRecord.kind);
  EXPECT_TRUE(created.OldTable().empty());
}

TEST(Propagator, ApplyDispatchAndGuards) {
  TempDir dir;
  CPropagator propagator(false, dir / "repo/", dir / "base/");
  TableEntry entry;
  propagator.Apply(entry);  // None does nothing
  entry.kind = static_cast<EntryKind>(5);
  EXPECT_EQ("Internal inconsistency", ErrorOf([&] { propagator.Apply(entry); }));
  entry.kind = static_cast<EntryKind>(0xFFFFFFFFu);
  EXPECT_EQ("Internal inconsistency", ErrorOf([&] { propagator.Apply(entry); }));
  EXPECT_EQ("Repository table corrupt", ErrorOf([&] { propagator.RequireTableRecord(); }));
  for (EntryKind kind : {EntryKind::File, EntryKind::Dir, EntryKind::Symlink}) {
    entry.kind = kind;
    EXPECT_EQ("Repository table corrupt", ErrorOf([&] { propagator.Apply(entry); }));
  }
  EXPECT_EQ("Repository table corrupt", ErrorOf([&] { propagator.InstallTable(""); }));
}

TEST(Propagator, InstallsTheTableItApplied) {
  // The repository's table may change during a run: what is installed is what was applied.
  TempDir dir;
  ASSERT_EQ(0, mkdir((dir / "repo").c_str(), 0755));
  WriteFile(dir / "repo/files.txt", "a table made into the repository since\n");
  CPropagator propagator(false, dir / "repo/", dir / "base/");
  TableEntry table;
  table.kind = EntryKind::Table;
  table.name = "files.txt";
  table.owner = getpwuid(getuid())->pw_name;
  table.group = getgrgid(getgid())->gr_name;
  table.file.mode = 0640;
  propagator.ApplyTable(table);
  propagator.InstallTable("the table applied\n");
  EXPECT_EQ("the table applied\n", ReadFile(dir / "base/files.txt"));
  EXPECT_EQ(S_IFREG | 0640u, StatPath(dir / "base/files.txt").st_mode);
}
