#include "verify/verify.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sys/descriptor.h"
#include "sys/test_support.h"

namespace {

/// The record of one table line, parsed after a table record.
TableEntry Record(const std::string& line) {
  CTableParser parser;
  TableEntry table;
  parser.ParseLine("table 1 - files.txt root root 0644", table);
  TableEntry entry;
  parser.ParseLine(line, entry);
  return entry;
}

Finding Found(uint32_t mode, uid_t user, gid_t group, int64_t mtime, const std::string& digest = "") {
  Finding finding;
  finding.mode = mode;
  finding.user = user;
  finding.group = group;
  finding.mtime = mtime;
  finding.digest = digest;
  return finding;
}

const char kDigest[] = "0123456789ABCDEF0123456789ABCDEF";
const char kOther[] = "FEDCBA9876543210FEDCBA9876543210";

std::string Output(FILE* stream) {
  rewind(stream);
  std::string text;
  char block[4096];
  size_t count;
  while ((count = fread(block, 1, sizeof block, stream)) > 0)
    text.append(block, count);
  return text;
}

}  // namespace

TEST(VerifyCompare, EachAttributeGivesItsExactLine) {
  const uid_t daemonUser = getpwnam("daemon")->pw_uid;
  const gid_t admGroup = getgrnam("adm")->gr_gid;
  const std::string file = "file etc/a+20b root root 1700000000 0100644 a " + std::string(kDigest) + " 0 ";
  const std::string link = "symlink lib/l root root 1700000000 x+20y";
  auto followed = [](Finding finding) {
    finding.followed = true;
    return finding;
  };
  auto linkTo = [](Finding finding, const std::string& target) {
    finding.target = target;
    return finding;
  };
  Finding missing;
  missing.missing = true;
  struct Case {
    std::string record;
    Finding finding;
    std::string line;  // empty: nothing differs
    bool damage;
  };
  const Case cases[] = {
      {file + "n", Found(0100644, 0, 0, 1700000000, kDigest), "", false},
      {file + "n", missing, "etc/a+20b: missing", true},
      {file + "n", Found(040755, 1, 1, 1, kDigest), "etc/a+20b: type dir, table file", true},
      {file + "y", Found(0120777, 0, 0, 1700000000), "etc/a+20b: type symlink, table file", true},
      {file + "n", Found(010644, 0, 0, 1700000000), "etc/a+20b: type fifo, table file", true},
      {file + "n", Found(0140644, 0, 0, 1700000000), "etc/a+20b: type socket, table file", true},
      {file + "n", Found(020644, 0, 0, 1700000000), "etc/a+20b: type chardev, table file", true},
      {file + "n", Found(060644, 0, 0, 1700000000), "etc/a+20b: type blockdev, table file", true},
      {file + "n", Found(0100644, 0, 0, 1700000000, kOther),
       "etc/a+20b: content " + std::string(kOther) + ", table " + kDigest, true},
      // A kept change is no damage and keeps its own time; mode, owner and group are still the run's.
      {file + "y", Found(0100644, 0, 0, 5, kOther), "etc/a+20b: content changed locally (kept)", false},
      {file + "y", Found(0100600, daemonUser, 0, 5, kOther),
       "etc/a+20b: content changed locally (kept); mode 0100600, table 0100644; owner daemon, table root", true},
      {file + "y", Found(0100644, 0, 0, 5, kDigest), "etc/a+20b: time 5, table 1700000000", true},
      {file + "n", Found(0100755, 0, 0, 1700000000, kDigest), "etc/a+20b: mode 0100755, table 0100644", true},
      {file + "n", Found(0104755, 0, 0, 1700000000, kDigest), "etc/a+20b: mode 0104755, table 0100644", true},
      // Without type bits in the record only the permission bits count.
      {"file x root root 7 0644 a " + std::string(kDigest) + " 0 n", Found(0100644, 0, 0, 7, kDigest), "", false},
      {"file x root root 7 0755 a " + std::string(kDigest) + " 0 n", Found(0100644, 0, 0, 7, kDigest),
       "x: mode 0644, table 0755", true},
      {file + "n", Found(0100644, daemonUser, 0, 1700000000, kDigest), "etc/a+20b: owner daemon, table root", true},
      {file + "n", Found(0100644, 4242, 0, 1700000000, kDigest), "etc/a+20b: owner 4242, table root", true},
      {file + "n", Found(0100644, 0, admGroup, 1700000000, kDigest), "etc/a+20b: group adm, table root", true},
      {file + "n", Found(0100644, 0, 4242, 1700000000, kDigest), "etc/a+20b: group 4242, table root", true},
      {"file x nosuchuser nosuchgroup 7 0100644 a " + std::string(kDigest) + " 0 n",
       Found(0100644, 0, 0, 7, kDigest), "x: owner root, table nosuchuser; group root, table nosuchgroup", true},
      {file + "n", Found(0100644, 0, 0, 1700000001, kDigest), "etc/a+20b: time 1700000001, table 1700000000", true},
      {file + "n", Found(0100600, daemonUser, admGroup, 9, kOther),
       "etc/a+20b: content " + std::string(kOther) + ", table " + kDigest +
           "; mode 0100600, table 0100644; owner daemon, table root; group adm, table root; time 9, table 1700000000",
       true},
      // A kept file replaced by a link to other content is a kept change; the link has no mode to compare.
      {file + "y", followed(Found(0120777, 0, 0, 5, kOther)), "etc/a+20b: content changed locally (kept)", false},
      {file + "y", followed(Found(0120777, daemonUser, 0, 5, kOther)),
       "etc/a+20b: content changed locally (kept); owner daemon, table root", true},
      {file + "y", followed(Found(0120777, 0, 0, 1700000000, kDigest)), "etc/a+20b: type symlink, table file", true},

      {"dir d root root 7 0755 n", Found(040755, 0, 0, 7), "", false},
      {"dir d root root 7 040755 n", Found(040755, 0, 0, 7), "", false},
      {"dir d root root 7 0755 n", Found(042700, daemonUser, admGroup, 8),
       "d: mode 02700, table 0755; owner daemon, table root; group adm, table root; time 8, table 7", true},
      {"dir d root root 7 0755 y", Found(040700, daemonUser, admGroup, 8), "", false},
      {"dir d root root 7 0755 y", missing, "d: missing", true},
      {"dir d root root 7 0755 y", Found(0100644, 0, 0, 7), "d: type file, table dir", true},
      {"dir d root root 7 0755 n", Found(0120777, 0, 0, 7), "d: type symlink, table dir", true},
      // A link to a directory stands for the directory moved elsewhere.
      {"dir d root root 7 0755 y", followed(Found(0120777, daemonUser, 0, 8)), "", false},
      {"dir d root root 7 0755 n", followed(Found(0120777, 0, 0, 7)), "", false},
      {"dir d root root 7 0755 n", followed(Found(0120777, daemonUser, 0, 8)),
       "d: owner daemon, table root; time 8, table 7", true},

      {link, linkTo(Found(0120777, 0, 0, 1700000000), "x y"), "", false},
      {link, linkTo(Found(0120777, daemonUser, admGroup, 1), "a+b"),
       "lib/l: target a+2Bb, table x+20y; owner daemon, table root; group adm, table root; time 1, table 1700000000",
       true},
      {link, Found(0100644, 0, 0, 1, kDigest), "lib/l: type file, table symlink", true},
      {link, missing, "lib/l: missing", true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.record + " -> " + test.line);
    CIdCache ids;
    TableEntry record = Record(test.record);
    Differences differences = CompareRecord(record, test.finding, ids);
    EXPECT_EQ(test.line, differences.attributes.empty() ? "" : DifferenceLine(record, differences));
    EXPECT_EQ(test.damage, differences.damage);
  }
}

TEST(VerifyExamine, ReadsWhatStandsWithoutOpeningAnythingButFiles) {
  TempDir dir;
  WriteFile(dir / "f", "hello\n");
  ASSERT_EQ(0, chmod((dir / "f").c_str(), 0640));
  ASSERT_EQ(0, mkdir((dir / "d").c_str(), 0750));
  WriteFile(dir / "d/elsewhere", "local\n");
  ASSERT_EQ(0, symlink("d/elsewhere", (dir / "kept").c_str()));
  ASSERT_EQ(0, symlink("d", (dir / "moved").c_str()));
  ASSERT_EQ(0, symlink("nowhere", (dir / "dangling").c_str()));
  // Opening a FIFO for reading would wait for a writer: the examination must not even try.
  ASSERT_EQ(0, mkfifo((dir / "fifo").c_str(), 0644));
  CDescriptor base(open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY));
  CRecordExaminer examiner(base.Get(), dir.Path() + "/");
  const std::string digest = "B1946AC92492D2347C6235B4D2611184";  // md5sum of "hello\n"
  const std::string local = "5BFF9CEC94F5AB89567A1D0A24C1BFA9";  // md5sum of "local\n"

  Finding file = examiner.Examine(Record("file f root root 1 0100644 s " + digest + " 0 n"));
  EXPECT_FALSE(file.missing);
  EXPECT_EQ(0100640u, file.mode);
  EXPECT_EQ(StatPath(dir / "f").st_mtime, file.mtime);
  EXPECT_EQ(digest, file.digest);
  EXPECT_EQ(6u, file.bytesRead);
  // An absolute name stays inside the base directory, as concatenation keeps it there.
  EXPECT_EQ(digest, examiner.Examine(Record("file /f root root 1 0100644 s x 0 n")).digest);

  EXPECT_TRUE(examiner.Examine(Record("file nothing root root 1 0100644 s x 0 n")).missing);
  EXPECT_TRUE(examiner.Examine(Record("file f/below root root 1 0100644 s x 0 n")).missing);

  Finding fifo = examiner.Examine(Record("file fifo root root 1 0100644 s x 0 y"));
  EXPECT_EQ(010644u, fifo.mode);
  EXPECT_EQ("", fifo.digest);

  Finding kept = examiner.Examine(Record("file kept root root 1 0100644 s x 0 y"));
  EXPECT_TRUE(kept.followed);
  EXPECT_EQ(0120777u, kept.mode);
  EXPECT_EQ(local, kept.digest);
  // Only a kept file is read through a link; any other is replaced by the run.
  Finding replaced = examiner.Examine(Record("file kept root root 1 0100644 s x 0 n"));
  EXPECT_FALSE(replaced.followed);
  EXPECT_EQ("", replaced.digest);
  EXPECT_FALSE(examiner.Examine(Record("file dangling root root 1 0100644 s x 0 y")).followed);
  EXPECT_FALSE(examiner.Examine(Record("file moved root root 1 0100644 s x 0 y")).followed);

  EXPECT_TRUE(examiner.Examine(Record("dir moved root root 1 0755 n")).followed);
  EXPECT_FALSE(examiner.Examine(Record("dir kept root root 1 0755 n")).followed);
  Finding directory = examiner.Examine(Record("dir d root root 1 0755 n"));
  EXPECT_EQ(040750u, directory.mode);
  EXPECT_EQ("", directory.digest);

  EXPECT_EQ("d/elsewhere", examiner.Examine(Record("symlink kept root root 1 x")).target);
  EXPECT_EQ("", examiner.Examine(Record("symlink f root root 1 x")).target);

  const std::string longName(5000, 'n');
  EXPECT_EQ("lstat(" + dir.Path() + "/" + longName + "): File name too long",
            ErrorOf([&] { examiner.Examine(Record("file " + longName + " root root 1 0100644 s x 0 n")); }));
}

// Many records on several threads: the lines come in table order, and a failure ends the output at its
// own record, after the lines of those before it; the same without any thread to start. Run under ThreadSanitizer
// as well.
TEST(VerifyBase, LinesInTableOrderFromSeveralThreads) {
  TempDir dir;
  const std::string hello = "B1946AC92492D2347C6235B4D2611184";  // md5sum of "hello\n"
  const std::string longName(5000, 'n');
  std::string table = "table 1 - files.txt root root 0644\n";
  std::string failingTable = table;
  std::string expected;
  std::string expectedBeforeFailure;
  for (int i = 0; i < 300; ++i) {
    const std::string name = "f" + std::to_string(i);
    WriteFile(dir / name, "hello\n");
    ASSERT_EQ(0, chmod((dir / name).c_str(), 0644));
    const struct timespec times[2] = {{7, 0}, {7, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, (dir / name).c_str(), times, 0));
    const struct stat status = StatPath(dir / name);
    const bool damaged = i % 7 == 3;
    std::string record = "file " + name + " " + getpwuid(status.st_uid)->pw_name + " " +
                         getgrgid(status.st_gid)->gr_name + " 7 0100644 s " + (damaged ? kOther : hello) + " 0 n\n";
    std::string line = damaged ? name + ": content " + hello + ", table " + kOther + "\n" : "";
    table += record;
    failingTable += record;
    expected += line;
    if (i < 150)
      expectedBeforeFailure += line;
    if (i == 149)
      failingTable += "file " + longName + " root root 7 0100644 s " + hello + " 0 n\n";
  }
  WriteFile(dir / "files.txt", table + "end\n");
  WriteFile(dir / "failing.txt", failingTable + "end\n");

  // The status or the error of each run, then its lines.
  auto verify = [&](unsigned jobs, const std::string& table) {
    VerifyOptions options;
    options.basedir = dir.Path();
    options.jobs = jobs;
    options.table = table;
    FILE* output = tmpfile();
    if (output == nullptr)
      return std::string("tmpfile failed");
    std::string status;
    const std::string error = ErrorOf([&] { status = std::to_string(VerifyBase(options, output)); });
    const std::string result = (status.empty() ? error : status) + "\n" + Output(output);
    fclose(output);
    return result;
  };
  const std::string expectedRuns =
      "2\n" + expected + "lstat(" + dir.Path() + "/" + longName + "): File name too long\n" + expectedBeforeFailure;
  ASSERT_EQ(0, chmod(dir.Path().c_str(), 0755));
  // Copied at once: the runs' own look-ups reuse the entry that getpwnam returns.
  const struct passwd* nobody = getpwnam("nobody");
  const uid_t nobodyUser = nobody ? nobody->pw_uid : 0;
  const gid_t nobodyGroup = nobody ? nobody->pw_gid : 0;
  struct Case {
    unsigned jobs;
    bool withoutThreads;  // under a process limit that leaves no thread to start
  };
  for (const Case& test : {Case{1, false}, Case{4, false}, Case{4, true}}) {
    SCOPED_TRACE(std::to_string(test.jobs) + (test.withoutThreads ? " without threads" : ""));
    auto runs = [&] { return verify(test.jobs, "") + verify(test.jobs, "failing.txt"); };
    if (!test.withoutThreads) {
      EXPECT_EQ(expectedRuns, runs());
      continue;
    }
    if (!IsRoot() || nobodyUser == 0)
      continue;  // a limit on threads binds only a user without privilege
    // Fewer threads only make it slower: with none, the records are examined on the calling thread.
    EXPECT_EQ(expectedRuns, InOwnMounts([&] {
                const struct rlimit one = {1, 1};
                if (setgid(nobodyGroup) != 0 || setuid(nobodyUser) != 0 || setrlimit(RLIMIT_NPROC, &one) != 0)
                  return std::string("cannot become nobody under a process limit");
                return runs();
              }));
  }
}
