#include "install/decision.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

namespace {

constexpr int64_t kTime = 1700000000;

PathState Present(uint32_t mode, uid_t user = 0, int64_t mtime = kTime, uint64_t links = 1,
                  const std::string& target = "") {
  PathState state;
  state.exists = true;
  state.mode = mode;
  state.user = user;
  state.mtime = mtime;
  state.links = links;
  state.target = target;
  return state;
}

PathState Missing(int error = ENOENT) {
  PathState state;
  state.error = error;
  return state;
}

TableEntry Record(EntryKind kind, bool keep = false) {
  TableEntry record;
  record.kind = kind;
  record.name = "x";
  record.mtime = kTime;
  record.dirMode = 0755;
  record.keepExisting = keep;
  record.target = "t";
  record.file.mode = S_IFREG | 0644;
  record.file.digest = "NEW";
  record.file.keepLocalChanges = keep;
  return record;
}

/// The decision in one word: the verb, "-" for none, or the failure; "+time" and "+attrs" for its flags.
std::string Describe(const Decision& decision) {
  if (!decision.failure.empty())
    return decision.failure;
  std::string text = decision.action ? Verb(*decision.action) : "-";
  if (decision.rememberTime)
    text += " +time";
  if (decision.setAttributes)
    text += " +attrs";
  return text;
}

struct Case {
  const char* what;
  TableEntry record;
  PathState present;
  std::string expected;
  int creationError = 0;
  std::string presentDigest = "";
  bool oldRecord = true;
  bool installedByRun = false;
  bool unvouched = false;
};

std::string Decide(const Case& c) {
  TableEntry old = Record(EntryKind::File);
  old.file.digest = "OLD";
  Situation situation;
  situation.path = "base/x";
  situation.present = c.present;
  situation.creationError = c.creationError;
  situation.presentDigest = c.presentDigest;
  situation.oldRecord = c.oldRecord ? &old : nullptr;
  situation.installedByRun = c.installedByRun;
  situation.unvouched = c.unvouched;
  switch (c.record.kind) {
    case EntryKind::Dir:
      return Describe(DecideDir(c.record, situation));
    case EntryKind::Symlink:
      return Describe(DecideLink(c.record, situation));
    default:
      return Describe(DecideFile(c.record, situation));
  }
}

const char kShared[] = "base/x has 2 hard links: refusing to change the owner or mode of a file that other names share";

}  // namespace

TEST(Decision, EveryKindOfRecordOverWhatStandsThere) {
  const TableEntry dir = Record(EntryKind::Dir), keptDir = Record(EntryKind::Dir, true);
  const TableEntry link = Record(EntryKind::Symlink);
  const TableEntry file = Record(EntryKind::File), keptFile = Record(EntryKind::File, true);
  TableEntry typelessKept = keptFile;
  typelessKept.file.mode = 0644;
  const Case cases[] = {
      {"dir missing", dir, Missing(), "mkdir +time"},
      {"dir under a file", dir, Missing(ENOTDIR), "mkdir(base/x): Not a directory"},
      {"dir whose parent a dry run knows missing", dir, Missing(), "mkdir(base/x): No such file or directory", ENOENT},
      {"dir right", dir, Present(S_IFDIR | 0755), "- +time"},
      {"dir of another mode", dir, Present(S_IFDIR | 0700), "attrs +time"},
      {"dir of another owner", dir, Present(S_IFDIR | 0755, 1), "attrs +time"},
      {"dir of another time", dir, Present(S_IFDIR | 0755, 0, 1), "attrs +time"},
      {"dir moved behind a link", dir, Present(S_IFLNK | 0777), "attrs +time"},
      {"dir where a file stands", dir, Present(S_IFREG | 0644), "-"},
      {"dir behind a link with another name", dir, Present(S_IFLNK | 0777, 0, kTime, 2), kShared},
      {"kept dir present", keptDir, Present(S_IFDIR | 0700, 1), "-"},
      {"kept dir where a file stands", keptDir, Present(S_IFREG | 0644), "-"},
      {"kept dir missing", keptDir, Missing(), "mkdir +time"},
      {"link missing", link, Missing(), "link"},
      {"link of another text", link, Present(S_IFLNK | 0777, 0, 0, 1, "u"), "link"},
      {"link where a file stands", link, Present(S_IFREG | 0644), "link"},
      {"link where a directory stands", link, Present(S_IFDIR | 0755), "Cannot create symlink base/x: File exists"},
      {"link under a file", link, Missing(ENOTDIR), "Cannot create symlink base/x: Not a directory"},
      {"link right", link, Present(S_IFLNK | 0777, 0, kTime, 1, "t"), "-"},
      {"link of another owner", link, Present(S_IFLNK | 0777, 1, kTime, 1, "t"), "attrs"},
      {"link of another time", link, Present(S_IFLNK | 0777, 0, 0, 1, "t"), "attrs"},
      {"link of another owner and name", link, Present(S_IFLNK | 0777, 1, kTime, 2, "t"), kShared},
      {"file", file, Present(S_IFREG | 0644), "copy"},
      {"file not looked at", file, Missing(0), "copy"},
      {"file under a file", file, Missing(ENOTDIR), "fopen(base/x): Not a directory"},
      {"file whose parent is missing", file, Missing(), "fopen(base/x): No such file or directory", ENOENT},
      {"kept file missing", keptFile, Missing(), "copy"},
      {"file with its content", file, Present(S_IFREG | 0644), "-", 0, "NEW"},
      {"file with its content in lower case", file, Present(S_IFREG | 0644), "-", 0, "new"},
      {"file with its content, other mode", file, Present(S_IFREG | 0600), "attrs", 0, "NEW"},
      {"file with its content, other owner", file, Present(S_IFREG | 0644, 1), "attrs", 0, "NEW"},
      {"file with its content, other time", file, Present(S_IFREG | 0644, 0, kTime + 1), "attrs", 0, "NEW"},
      {"file with its content, shared", file, Present(S_IFREG | 0644, 0, kTime, 2), "-", 0, "NEW"},
      {"file with its content, shared, other mode", file, Present(S_IFREG | 0600, 0, kTime, 2), "copy", 0, "NEW"},
      {"file with other content", file, Present(S_IFREG | 0644), "copy", 0, "OLD"},
      {"link with the file's content", file, Present(S_IFLNK | 0777), "copy", 0, "NEW"},
      {"kept file with the new content", keptFile, Present(S_IFREG | 0600), "attrs", 0, "NEW"},
      {"kept file with the old content", keptFile, Present(S_IFREG | 0600), "copy", 0, "OLD"},
      {"kept file changed", keptFile, Present(S_IFREG | 0644), "keep", 0, "EDIT"},
      {"kept file changed, other mode", keptFile, Present(S_IFREG | 0600), "keep +attrs", 0, "EDIT"},
      {"kept file changed, same permissions as a typeless mode", typelessKept, Present(S_IFREG | 0644, 0, kTime, 2),
       "keep", 0, "EDIT"},
      {"kept file changed, other owner", keptFile, Present(S_IFREG | 0644, 1), "keep +attrs", 0, "EDIT"},
      {"kept file changed, shared", keptFile, Present(S_IFREG | 0600, 0, kTime, 2), kShared, 0, "EDIT"},
      {"kept file changed, shared, right", keptFile, Present(S_IFREG | 0644, 0, kTime, 2), "keep", 0, "EDIT"},
      {"kept file, no old record", keptFile, Present(S_IFREG | 0644), "Cannot find x in old table, possible corruption",
       0, "EDIT", false},
      {"kept file with the new content, no old record", keptFile, Present(S_IFREG | 0644), "-", 0, "NEW", false},
      {"kept file with what a failed run installed", keptFile, Present(S_IFREG | 0644), "copy", 0, "EDIT", true, true},
      {"kept file with it, no old record", keptFile, Present(S_IFREG | 0644), "copy", 0, "EDIT", false, true},
      {"twin of the content", file, Present(S_IFREG | 0644), "copy", 0, "NEW", true, false, true},
      {"twin of a kept file's content", keptFile, Present(S_IFREG | 0644), "copy", 0, "NEW", true, false, true},
      // Control sums are compared as text: a table's lower-case digits never match, so the file is kept.
      {"kept file, the old sum in lower case", keptFile, Present(S_IFREG | 0644), "keep", 0, "old", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.expected, Decide(c)) << c.what;
}
