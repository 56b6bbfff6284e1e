#include "install/prune.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "sys/control_sum.h"
#include "sys/test_support.h"

namespace {

/// Stands for an absolute name outside the base directory, which each test run knows only once its TempDir exists.
const char kAbsoluteOutside[] = "/absolute/outside";

std::string DigestOf(const std::string& content) {
  CControlSumMD5 sum;
  sum.Update(content.data(), content.size());
  unsigned char digest[16];
  sum.Get(digest, sizeof digest);
  return HexBytes(digest, sizeof digest);
}

TableEntry FileRecord(const std::string& name, const std::string& content) {
  TableEntry entry;
  entry.kind = EntryKind::File;
  entry.name = name;
  entry.file.digest = DigestOf(content);
  return entry;
}

TableEntry DirRecord(const std::string& name) {
  TableEntry entry;
  entry.kind = EntryKind::Dir;
  entry.name = name;
  return entry;
}

TableEntry LinkRecord(const std::string& name, const std::string& target) {
  TableEntry entry;
  entry.kind = EntryKind::Symlink;
  entry.name = name;
  entry.target = target;
  return entry;
}

void MakeDir(const std::string& path) { ASSERT_EQ(0, mkdir(path.c_str(), 0755)) << path; }
void MakeLink(const std::string& target, const std::string& path) { ASSERT_EQ(0, symlink(target.c_str(), path.c_str())); }

/// Every path under root (links not followed), relative, sorted, with its type and content or target, so
/// that any change to the tree shows.
std::vector<std::string> Snapshot(const std::string& root) {
  std::vector<std::string> lines;
  for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
    std::string path = item.path().string();
    std::string line = path.substr(root.size() + 1);
    if (item.is_symlink())
      line += " -> " + std::filesystem::read_symlink(item.path()).string();
    else if (item.is_directory())
      line += "/";
    else if (item.is_regular_file())
      line += " = " + ReadFile(path);
    else
      line += " (other)";
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

/// Runs Prune on dir/base and returns the reported lines.
std::vector<std::string> RunPrune(const TempDir& dir, const std::vector<TableEntry>& oldTable,
                                  const std::unordered_set<std::string>& newNames, bool dryRun) {
  std::vector<std::string> lines;
  Prune(oldTable, newNames, dir / "base/", dryRun, [&](const Action& action) { lines.push_back(FormatAction(action)); });
  return lines;
}

// ---- What is removed, what stays ----

struct PruneCase {
  const char* what;
  std::function<void(const TempDir&)> prepare;  ///< builds dir/base (already created) and anything beside it
  std::vector<TableEntry> oldTable;
  std::unordered_set<std::string> newNames;
  std::vector<std::string> reported;   ///< lines of the first run, dry or real alike
  std::vector<std::string> remaining;  ///< Snapshot of the TempDir after the real run
};

TEST(Prune, RemovesOnlyWhatStillIsAsInstalled) {
  const PruneCase cases[] = {
      {"dropped file, link and directory, deepest first",
       [](const TempDir& dir) {
         MakeDir(dir / "base/d");
         WriteFile(dir / "base/d/f", "one");
         MakeLink("f", dir / "base/d/l");
         WriteFile(dir / "base/top", "two");
         WriteFile(dir / "base/kept", "three");
       },
       {DirRecord("d"), FileRecord("d/f", "one"), LinkRecord("d/l", "f"), FileRecord("top", "two"),
        FileRecord("kept", "three")},
       {"kept"},
       {"remove d/l", "remove d/f", "remove top", "remove d"},
       {"base/", "base/kept = three"}},
      {"a dropped file edited locally is kept, and so is its directory",
       [](const TempDir& dir) {
         MakeDir(dir / "base/d");
         WriteFile(dir / "base/d/f", "edited");
         WriteFile(dir / "base/d/g", "same");
       },
       {DirRecord("d"), FileRecord("d/f", "one"), FileRecord("d/g", "same")},
       {},
       {"remove d/g", "keep d/f"},
       {"base/", "base/d/", "base/d/f = edited"}},
      {"a dropped directory with a file unknown to the tables stays",
       [](const TempDir& dir) {
         MakeDir(dir / "base/d");
         MakeDir(dir / "base/d/sub");
         WriteFile(dir / "base/d/f", "one");
         WriteFile(dir / "base/d/sub/local", "mine");
       },
       {DirRecord("d"), DirRecord("d/sub"), FileRecord("d/f", "one")},
       {},
       {"remove d/f"},
       {"base/", "base/d/", "base/d/sub/", "base/d/sub/local = mine"}},
      {"an old file that the new table records as a directory",
       [](const TempDir& dir) {
         MakeDir(dir / "base/x");
         MakeDir(dir / "base/y");
       },
       {FileRecord("x", ""), FileRecord("y", "")},
       {"x"},
       {},
       {"base/", "base/x/", "base/y/"}},
      {"other types at a record's path, and links that changed",
       [](const TempDir& dir) {
         MakeLink("one-copy", dir / "base/f");
         WriteFile(dir / "base/one-copy", "one");
         ASSERT_EQ(0, mkfifo((dir / "base/fifo").c_str(), 0644));
         WriteFile(dir / "base/d", "a file where a directory was");
         MakeLink("elsewhere", dir / "base/l");
         MakeDir(dir / "base/m");
       },
       {FileRecord("f", "one"), FileRecord("fifo", ""), DirRecord("d"), LinkRecord("l", "target"),
        LinkRecord("m", "target")},
       {"one-copy"},
       {},
       {"base/", "base/d = a file where a directory was", "base/f -> one-copy", "base/fifo (other)",
        "base/l -> elsewhere", "base/m/", "base/one-copy = one"}},
      {"a link in a parent component is not followed",
       [](const TempDir& dir) {
         MakeDir(dir / "outside");
         WriteFile(dir / "outside/f", "one");
         MakeLink("../outside", dir / "base/d");
       },
       {DirRecord("d"), FileRecord("d/f", "one")},
       {},
       {},
       {"base/", "base/d -> ../outside", "outside/", "outside/f = one"}},
      {"a dropped link that a kept path passes through stays, and so does what that path reaches",
       [](const TempDir& dir) {
         MakeDir(dir / "base/real");
         WriteFile(dir / "base/real/f", "one");
         WriteFile(dir / "base/real/g", "two");
         MakeLink("real", dir / "base/current");
       },
       {DirRecord("real"), LinkRecord("current", "real"), FileRecord("real/f", "one"), FileRecord("real/g", "two")},
       {"current/./f"},
       {"remove real/g"},
       {"base/", "base/current -> real", "base/real/", "base/real/f = one"}},
      {"a new name spelled differently still protects its path",
       [](const TempDir& dir) {
         MakeDir(dir / "base/d");
         WriteFile(dir / "base/d/f", "one");
         WriteFile(dir / "base/d/g", "two");
       },
       {DirRecord("d"), FileRecord("d/f", "one"), FileRecord("d/g", "two")},
       {"./d//f", "x/../d/g/"},
       {},
       {"base/", "base/d/", "base/d/f = one", "base/d/g = two"}},
      {"names that could reach outside the base directory are never pruned",
       [](const TempDir& dir) {
         MakeDir(dir / "base/a");
         WriteFile(dir / "base/a/b", "one");
         WriteFile(dir / "outside", "one");
       },
       {FileRecord("../outside", "one"), FileRecord(kAbsoluteOutside, "one"), FileRecord("a/./b", "one"),
        FileRecord("a//b", "one"), FileRecord("a/b/", "one"), FileRecord("", "one"),
        FileRecord(std::string("a/b\0c", 5), "one"), DirRecord("a/.."), DirRecord(".")},
       {},
       {},
       {"base/", "base/a/", "base/a/b = one", "outside = one"}},
      {"the first of two records of a name counts; a path already gone is passed over",
       [](const TempDir& dir) { WriteFile(dir / "base/f", "two"); },
       {FileRecord("f", "one"), FileRecord("f", "two"), FileRecord("gone", "x"), DirRecord("gone-dir")},
       {},
       {"keep f"},
       {"base/", "base/f = two"}},
  };
  for (const PruneCase& item : cases) {
    SCOPED_TRACE(item.what);
    TempDir dir;
    MakeDir(dir / "base");
    item.prepare(dir);
    std::vector<TableEntry> oldTable = item.oldTable;
    for (TableEntry& entry : oldTable)
      if (entry.name == kAbsoluteOutside)
        entry.name = dir / "outside";
    std::vector<std::string> before = Snapshot(dir.Path());

    EXPECT_EQ(item.reported, RunPrune(dir, oldTable, item.newNames, true)) << "dry run";
    EXPECT_EQ(before, Snapshot(dir.Path())) << "a dry run changed the tree";

    EXPECT_EQ(item.reported, RunPrune(dir, oldTable, item.newNames, false));
    EXPECT_EQ(item.remaining, Snapshot(dir.Path()));

    // A second run finds the removals done and keeps what it kept.
    std::vector<std::string> keeps;
    for (const std::string& line : item.reported)
      if (line.rfind("keep ", 0) == 0)
        keeps.push_back(line);
    EXPECT_EQ(keeps, RunPrune(dir, oldTable, item.newNames, false)) << "second run";
    EXPECT_EQ(item.remaining, Snapshot(dir.Path())) << "second run";
  }
}

// ---- A removal that fails ----

/// Runs body while directory cannot be changed: as root in a mount namespace of its own, where directory
/// is a read-only bind mount (seen by nobody else); otherwise with the directory's write permission taken
/// away. Returns what body returned, or "skip: ..." when that cannot be arranged.
std::string WhileUnwritable(const std::string& directory, const std::function<std::string()>& body) {
  if (!IsRoot()) {
    chmod(directory.c_str(), 0555);
    std::string report = body();
    chmod(directory.c_str(), 0755);
    return report;
  }
  return InOwnMounts([&] {
    if (mount(directory.c_str(), directory.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        mount(nullptr, directory.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
      return std::string("skip: no read-only bind mount: ") + strerror(errno);
    return body();
  });
}

struct FailureCase {
  const char* what;
  std::function<void(const std::string&)> prepare;  ///< makes the path given
  TableEntry record;                                 ///< for the name "locked/x"
  const char* call;
};

TEST(PruneFailures, AFailedRemovalStopsWithItsMessageAndARerunFinishes) {
  const FailureCase cases[] = {
      {"file", [](const std::string& path) { WriteFile(path, "one"); }, FileRecord("locked/x", "one"), "unlink"},
      {"link", [](const std::string& path) { MakeLink("t", path); }, LinkRecord("locked/x", "t"), "unlink"},
      {"directory", [](const std::string& path) { MakeDir(path); }, DirRecord("locked/x"), "rmdir"},
  };
  for (const FailureCase& item : cases) {
    SCOPED_TRACE(item.what);
    TempDir dir;
    MakeDir(dir / "base");
    MakeDir(dir / "base/locked");
    MakeDir(dir / "base/deep");
    MakeDir(dir / "base/deep/er");
    WriteFile(dir / "base/deep/er/y", "two");
    WriteFile(dir / "base/top", "three");
    item.prepare(dir / "base/locked/x");
    // Deepest first: deep/er/y goes before locked/x fails; top, later in the order, is not reached.
    std::vector<TableEntry> oldTable = {FileRecord("top", "three"), item.record, FileRecord("deep/er/y", "two")};

    std::string report = WhileUnwritable(dir / "base/locked", [&] {
      std::vector<std::string> lines;
      std::string message = ErrorOf([&] {
        Prune(oldTable, {}, dir / "base/", false, [&](const Action& action) { lines.push_back(FormatAction(action)); });
      });
      std::string text;
      for (const std::string& line : lines)
        text += line + "\n";
      return text + message;
    });
    if (report.rfind("skip: ", 0) == 0)
      GTEST_SKIP() << report;
    const char* cause = IsRoot() ? "Read-only file system" : "Permission denied";
    EXPECT_EQ("remove deep/er/y\n" + std::string(item.call) + "(" + dir / "base/locked/x" + "): " + cause, report);
    StatPath(dir / "base/locked/x");
    StatPath(dir / "base/top");

    // Once the cause is gone, the same old table finishes the removals.
    EXPECT_EQ((std::vector<std::string>{"remove locked/x", "remove top"}), RunPrune(dir, oldTable, {}, false));
    EXPECT_EQ((std::vector<std::string>{"base/", "base/deep/", "base/deep/er/", "base/locked/"}), Snapshot(dir.Path()));
  }
}

}  // namespace
