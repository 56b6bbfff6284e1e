#include "commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "dispatcher.h"
#include "test_support.h"

namespace {

Outcome RunHandler(CommandHandler handler, std::vector<std::string> args) {
  return RunCaptured(handler, std::move(args));
}

void ExpectOutcome(const Outcome& want, const Outcome& got, const std::string& label) {
  EXPECT_EQ(want.status, got.status) << label;
  EXPECT_EQ(want.out, got.out) << label;
  EXPECT_EQ(want.err, got.err) << label;
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string ReadFile(const std::string& path) {
  std::ostringstream content;
  content << std::ifstream(path, std::ios::binary).rdbuf();
  return content.str();
}

void SetModificationTime(const std::string& path, time_t seconds) {
  const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW)) << path;
}

class CommandsTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "quarnet-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern.data()));
    dir = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string Path(const std::string& name) const { return dir + "/" + name; }

  std::string dir;
};

TEST(Commands, TooFewParametersPrintSyntaxLineWithCommandWord) {
  struct Case {
    CommandHandler handler;
    std::vector<std::string> args;
    const char* syntax;
  } const cases[] = {
      {PrintModificationTime, {"mtime"}, "Syntax: mtime <path>\n"},
      {CreateSymlink, {"symlink", "a"}, "Syntax: symlink <src> <dst>\n"},
      {CopyWithoutCarriageReturns, {"d2u", "a"}, "Syntax: d2u <src> <dst>\n"},
      {PrintLowerCase, {"locase"}, "Syntax: locase <text>\n"},
      {SleepRandomTime, {"randsleep"}, "Syntax: randsleep <maxtime>\n"},
      {LogMessage, {"logger", "info"}, "Syntax: logger <error|warning|notice|info> \"<text>\"\n"},
      {TerminateProcess, {"kill", "1"}, "Syntax: kill <seconds> <pid>\n"},
  };
  for (const Case& c : cases)
    ExpectOutcome({1, "", c.syntax}, RunHandler(c.handler, c.args), c.args[0]);
}

TEST(Commands, NumbersOutsideTheirRangeAreRefused) {
  struct Case {
    CommandHandler handler;
    std::vector<std::string> args;
    Outcome want;
  } const cases[] = {
      {SleepRandomTime, {"randsleep", "0"}, {0, "", ""}},
      {SleepRandomTime, {"randsleep", "1", "-1"}, {0, "", ""}},
      {SleepRandomTime, {"randsleep", "no digits"}, {0, "", ""}},
      {SleepRandomTime, {"randsleep", "4294967296"}, {0, "", ""}},
      {SleepRandomTime, {"randsleep", "-1"}, {1, "", "Invalid time\n"}},
      {SleepRandomTime, {"randsleep", " -7s"}, {1, "", "Invalid time\n"}},
      {SleepRandomTime, {"randsleep", "4294967295"}, {1, "", "Invalid time\n"}},
      {SleepRandomTime, {"randsleep", "99999999999999999999"}, {1, "", "Invalid time\n"}},
      {LogMessage, {"logger", "Error", "text"}, {1, "", "Invalid level\n"}},
      {LogMessage, {"logger", "err", "text"}, {1, "", "Invalid level\n"}},
      {LogMessage, {"logger", "info ", "text"}, {1, "", "Invalid level\n"}},
      {LogMessage, {"logger", "", "text"}, {1, "", "Invalid level\n"}},
  };
  for (const Case& c : cases)
    ExpectOutcome(c.want, RunHandler(c.handler, c.args), c.args[0] + " " + c.args[1]);
}

TEST(Commands, LowerCaseChangesOnlyAsciiCapitals) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "\n"},
      {"MiXeD Case 123", "mixed case 123\n"},
      {"@AZ[`az{", "@az[`az{\n"},
      {"\xC3\x84" "BC", "\xC3\x84" "bc\n"},
      {"\x80\xC0\xDE\xFF", "\x80\xC0\xDE\xFF\n"},
  };
  for (const auto& [text, printed] : cases)
    ExpectOutcome({0, printed, ""}, RunHandler(PrintLowerCase, {"locase", text, "IGNORED"}), text);
}

TEST_F(CommandsTest, ModificationTimeIsTheLinksOwn) {
  WriteFile(Path("file"), "x");
  SetModificationTime(Path("file"), 1234567890);
  ASSERT_EQ(0, symlink("file", Path("link").c_str()));
  SetModificationTime(Path("link"), 1000000000);
  WriteFile(Path("old"), "");
  SetModificationTime(Path("old"), -1);
  ExpectOutcome({0, "1234567890\n", ""}, RunHandler(PrintModificationTime, {"mtime", Path("file"), "x"}), "file");
  ExpectOutcome({0, "1000000000\n", ""}, RunHandler(PrintModificationTime, {"mtime", Path("link")}), "link");
  ExpectOutcome({0, "18446744073709551615\n", ""}, RunHandler(PrintModificationTime, {"mtime", Path("old")}),
                "before the epoch");
  ExpectOutcome({1, "", "lstat(" + Path("none") + "): No such file or directory\n"},
                RunHandler(PrintModificationTime, {"mtime", Path("none")}), "missing");
}

TEST_F(CommandsTest, SymlinkKeepsTextAndExistingDestination) {
  ExpectOutcome({0, "", ""}, RunHandler(CreateSymlink, {"symlink", "no/such target", Path("link"), "x"}), "dangling");
  EXPECT_EQ("no/such target", std::filesystem::read_symlink(Path("link")).string());
  ExpectOutcome({1, "", "symlink(other, " + Path("link") + "): File exists\n"},
                RunHandler(CreateSymlink, {"symlink", "other", Path("link")}), "existing");
  EXPECT_EQ("no/such target", std::filesystem::read_symlink(Path("link")).string());
}

TEST_F(CommandsTest, Dos2unixDropsEveryCarriageReturn) {
  std::string allBytes;
  for (int byte = 0; byte < 256; ++byte)
    allBytes += static_cast<char>(byte);
  std::string allButCarriageReturn = allBytes;
  allButCarriageReturn.erase(13, 1);
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"one\r\ntwo\r\n", "one\ntwo\n"},
      {"old\rmac\r", "oldmac"},
      {"mixed\r\nunix\nmac\r\r\r\n\n\r", "mixed\nunix\nmac\n\n"},
      {"no line end", "no line end"},
      {allBytes + "\r\n" + allBytes, allButCarriageReturn + "\n" + allButCarriageReturn},
  };
  for (const auto& [content, converted] : cases) {
    WriteFile(Path("src"), content);
    WriteFile(Path("dst"), "previous content that is longer than any result above");
    ExpectOutcome({0, "", ""}, RunHandler(CopyWithoutCarriageReturns, {"dos2unix", Path("src"), Path("dst")}), content);
    EXPECT_EQ(converted, ReadFile(Path("dst")));
  }
}

TEST_F(CommandsTest, Dos2unixRefusesOneFileUnderTwoNames) {
  WriteFile(Path("file"), "a\r\nb\r\n");
  ASSERT_EQ(0, symlink("file", Path("link").c_str()));
  ASSERT_EQ(0, link(Path("file").c_str(), Path("hard").c_str()));
  std::filesystem::create_directory(Path("sub"));
  const std::pair<std::string, std::string> cases[] = {
      {Path("file"), Path("file")},
      {Path("file"), Path("sub/../file")},
      {Path("file"), Path("link")},
      {Path("link"), Path("file")},
      {Path("hard"), Path("file")},
  };
  SetModificationTime(Path("file"), 1000000000);
  for (const auto& [src, dst] : cases) {
    ExpectOutcome({1, "", src + " and " + dst + " are the same file\n"},
                  RunHandler(CopyWithoutCarriageReturns, {"dos2unix", src, dst}), dst);
    EXPECT_EQ("a\r\nb\r\n", ReadFile(Path("file"))) << dst;
    struct stat status;
    ASSERT_EQ(0, stat(Path("file").c_str(), &status));
    EXPECT_EQ(1000000000, status.st_mtime) << dst << ": the file was written to";
  }
}

TEST_F(CommandsTest, Dos2unixCopiesBetweenDevices) {
  WriteFile(Path("src"), "text\r\n");
  const std::pair<std::string, std::string> cases[] = {
      {"/dev/null", "/dev/null"},
      {Path("src"), "/dev/null"},
      {"/dev/null", Path("dst")},
  };
  for (const auto& [src, dst] : cases)
    ExpectOutcome({0, "", ""}, RunHandler(CopyWithoutCarriageReturns, {"dos2unix", src, dst}), src + " " + dst);
  EXPECT_EQ("", ReadFile(Path("dst")));
}

// A write that fails once the stdio buffer is full: glibc drops that buffer, so with these sizes nothing
// is left for the final fclose to fail on.
TEST_F(CommandsTest, Dos2unixWriteFailureOnTheWayIsReported) {
  for (size_t size : {4096, 4097, 8193, 8194, 100000}) {
    WriteFile(Path("src"), std::string(size, 'a'));
    ExpectOutcome({1, "", "fclose(/dev/full): No space left on device\n"},
                  RunHandler(CopyWithoutCarriageReturns, {"dos2unix", Path("src"), "/dev/full"}),
                  std::to_string(size) + " bytes");
  }
}

TEST_F(CommandsTest, Dos2unixFailures) {
  WriteFile(Path("src"), "text\r\n");
  std::filesystem::create_directory(Path("dir"));
  struct Case {
    std::string src, dst;
    Outcome want;
  } const cases[] = {
      {Path("none"), Path("dst1"), {1, "", "fopen(" + Path("none") + ", rb): No such file or directory\n"}},
      {Path("src"), Path("none/dst"), {1, "", "fopen(" + Path("none/dst") + ", wb): No such file or directory\n"}},
      {Path("dir"), Path("dst2"), {1, "", "fgetc(" + Path("dir") + "): Is a directory\n"}},
      {Path("src"), "/dev/full", {1, "", "fclose(/dev/full): No space left on device\n"}},
  };
  for (const Case& c : cases)
    ExpectOutcome(c.want, RunHandler(CopyWithoutCarriageReturns, {"dos2unix", c.src, c.dst}), c.src + " " + c.dst);
  EXPECT_FALSE(std::filesystem::exists(Path("dst1")));
  EXPECT_EQ("", ReadFile(Path("dst2")));
}

// A stream whose calls fail as a case says: each read or write call takes the next entry of its list,
// where -1 lets the call succeed and any other value fails it with that errno (0: errno left unset); once a
// list is used up the calls succeed.
struct ScriptedStream {
  std::string content;
  std::vector<int> reads;
  std::vector<int> writes;
  int close = -1;
  size_t position = 0;
  size_t readCalls = 0;
  size_t writeCalls = 0;
};

bool FailsNow(const std::vector<int>& script, size_t& calls) {
  size_t call = calls++;
  if (call >= script.size() || script[call] < 0)
    return false;
  errno = script[call];
  return true;
}

FILE* OpenScripted(ScriptedStream& stream, const char* mode) {
  cookie_io_functions_t functions = {};
  functions.read = [](void* cookie, char* buffer, size_t size) -> ssize_t {
    auto& stream = *static_cast<ScriptedStream*>(cookie);
    if (FailsNow(stream.reads, stream.readCalls))
      return -1;
    size_t count = std::min(size, stream.content.size() - stream.position);
    stream.content.copy(buffer, count, stream.position);
    stream.position += count;
    return static_cast<ssize_t>(count);
  };
  functions.write = [](void* cookie, const char* buffer, size_t size) -> ssize_t {
    auto& stream = *static_cast<ScriptedStream*>(cookie);
    if (FailsNow(stream.writes, stream.writeCalls))
      return -1;
    stream.content.append(buffer, size);
    return static_cast<ssize_t>(size);
  };
  functions.close = [](void* cookie) -> int {
    auto& stream = *static_cast<ScriptedStream*>(cookie);
    if (stream.close < 0)
      return 0;
    errno = stream.close;
    return -1;
  };
  return fopencookie(&stream, mode, functions);
}

TEST(Commands, Dos2unixStreamFailures) {
  // Larger than the stdio buffer, so that the copy flushes dst on the way.
  const std::string big = std::string(20000, 'x') + "\r\n";
  struct Case {
    const char* label;
    std::string content;
    std::vector<int> srcReads;
    int srcClose;
    std::vector<int> dstWrites;
    int dstClose;
    Outcome want;
  } const cases[] = {
      {"clean", big, {}, -1, {}, -1, {0, "", ""}},
      {"space freed after a failed write", big, {}, -1, {ENOSPC}, -1,
       {1, "", "fclose(out): No space left on device\n"}},
      {"write failing without errno", big, {}, -1, {0}, -1, {1, "", "fclose(out): Input/output error\n"}},
      {"last write failing", "a\r\n", {}, -1, {EDQUOT}, -1, {1, "", "fclose(out): Disk quota exceeded\n"}},
      {"write and close failing", big, {}, -1, {ENOSPC}, EBADF, {1, "", "fclose(out): No space left on device\n"}},
      {"dst close failing without errno", "a", {}, -1, {}, 0, {1, "", "fclose(out): Input/output error\n"}},
      {"read failing", big, {-1, EIO}, -1, {}, -1, {1, "", "fgetc(in): Input/output error\n"}},
      {"read failing without errno", big, {0}, -1, {}, -1, {1, "", "fgetc(in): Input/output error\n"}},
      {"read failing with another errno", big, {ENXIO}, -1, {}, -1,
       {1, "", "fgetc(in): No such device or address\n"}},
      {"src close failing", "a", {}, ENOLINK, {}, -1, {1, "", "fclose(in): Link has been severed\n"}},
      {"everything failing", big, {-1, EIO}, EBADF, {}, ENOSPC,
       {1, "", "fgetc(in): Input/output error\nfclose(out): No space left on device\nfclose(in): Bad file descriptor\n"}},
  };
  for (const Case& c : cases) {
    ScriptedStream src{c.content, c.srcReads, {}, c.srcClose};
    ScriptedStream dst{"", {}, c.dstWrites, c.dstClose};
    FILE* srcFile = OpenScripted(src, "rb");
    FILE* dstFile = OpenScripted(dst, "wb");
    ASSERT_NE(nullptr, srcFile);
    ASSERT_NE(nullptr, dstFile);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = CopyStreamsWithoutCarriageReturns(srcFile, "in", dstFile, "out");
    std::string out = testing::internal::GetCapturedStdout();
    ExpectOutcome(c.want, {status, out, testing::internal::GetCapturedStderr()}, c.label);
    if (c.want.status == 0) {
      EXPECT_EQ(std::string(20000, 'x') + "\n", dst.content) << c.label;
    }
  }
}

}  // namespace
