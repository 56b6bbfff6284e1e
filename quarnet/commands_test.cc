#include "commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "dispatcher.h"

namespace {

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome RunHandler(CommandHandler handler, std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int status = handler(static_cast<int>(args.size()), argv.data());
  std::string out = testing::internal::GetCapturedStdout();
  return {status, out, testing::internal::GetCapturedStderr()};
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
  for (const auto& [src, dst] : cases) {
    ExpectOutcome({1, "", src + " and " + dst + " are the same file\n"},
                  RunHandler(CopyWithoutCarriageReturns, {"dos2unix", src, dst}), dst);
    EXPECT_EQ("a\r\nb\r\n", ReadFile(Path("file")));
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

}  // namespace
