#include <gtest/gtest.h>

#include "install/propagator.h"
#include "sys/test_support.h"

namespace {

TableEntry TableRecord(const std::string& name) {
  TableEntry entry;
  entry.kind = EntryKind::Table;
  entry.name = name;
  entry.owner = "root";
  entry.group = "root";
  entry.file.mode = 0644;
  return entry;
}

}  // namespace

TEST(ReconcileOldTable, LoadedWithEveryEntryAndFirstNameWins) {
  TempDir dir;
  CPropagator propagator(false, dir / "repo/", dir / "base/");
  WriteFile(dir / "base/old.txt",
            "\nfree text\ntable 1 - old.txt root root 0644\n"
            "file a root root 0 0644 s FIRST 0 y\n\n"
            "file a root root 0 0644 s SECOND 0 y\n"
            "dir b+20c root root 0 0755 n\nend\nfile a root root 0 0644 s AFTER 0 y\n");
  propagator.ApplyTable(TableRecord("old.txt"));
  EXPECT_EQ(EntryKind::Table, propagator.tableRecord.kind);
  EXPECT_EQ("old.txt", propagator.tableRecord.name);
  // The records up to the end record: the table record and three others.
  ASSERT_EQ(4u, propagator.OldTable().size());
  EXPECT_EQ("FIRST", propagator.FindOldEntry("a").file.digest);
  EXPECT_EQ(EntryKind::Dir, propagator.FindOldEntry("b c").kind);
  EXPECT_EQ("Cannot find b+20c in old table, possible corruption",
            ErrorOf([&] { propagator.FindOldEntry("b+20c"); }));
  EXPECT_EQ("Repository table corrupt", ErrorOf([&] { propagator.ApplyTable(TableRecord("old.txt")); }));
}

TEST(ReconcileOldTable, MissingOrEmptyMeansNone) {
  TempDir dir;
  const char* contents[] = {"", nullptr};
  for (const char* content : contents) {
    CPropagator propagator(false, dir / "repo/", dir / "base/");
    if (content)
      WriteFile(dir / "base/files.txt", content);
    propagator.ApplyTable(TableRecord("files.txt"));
    EXPECT_TRUE(propagator.OldTable().empty());
    EXPECT_EQ("Cannot find x in old table, possible corruption", ErrorOf([&] { propagator.FindOldEntry("x"); }));
  }
}

TEST(ReconcileOldTable, ParseErrorsEndTheRunWithOldLineNumbers) {
  TempDir dir;
  CPropagator propagator(false, dir / "repo/", dir / "base/");
  WriteFile(dir / "base/files.txt", "\r\n\ntable 1 - files.txt root root 0644\r\nbogus\n");
  EXPECT_EQ("Parse error in line 4: Invalid token", ErrorOf([&] { propagator.ApplyTable(TableRecord("files.txt")); }));
}
