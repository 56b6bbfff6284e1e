#include "sys/mapped_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>

#include "sys/test_support.h"

TEST(MappedFile, MapsWholeContent) {
  TempDir dir;
  std::string content(100000, 'x');
  content[99999] = '\n';
  WriteFile(dir / "f", content);
  CMappedFile file(dir / "f");
  ASSERT_EQ(content.size(), file.Size());
  EXPECT_EQ(0, memcmp(content.data(), file.Data(), content.size()));
}

TEST(MappedFile, Failures) {
  TempDir dir;
  WriteFile(dir / "empty", "");
  EXPECT_EQ(dir / "missing" + ": Cannot open: " + strerror(ENOENT), ErrorOf([&] { CMappedFile f(dir / "missing"); }));
  EXPECT_EQ(dir / "empty" + ": Cannot mmap: " + strerror(EINVAL), ErrorOf([&] { CMappedFile f(dir / "empty"); }));
  EXPECT_EQ(dir.Path() + ": Cannot mmap: " + strerror(ENODEV), ErrorOf([&] { CMappedFile f(dir.Path()); }));
  // Anything but a regular file is refused before it is opened, a link to one too: a FIFO would wait
  // for a writer, and opening a device can have effects of its own.
  ASSERT_EQ(0, mkfifo((dir / "fifo").c_str(), 0600));
  ASSERT_EQ(0, symlink("/dev/null", (dir / "device").c_str()));
  for (const char* name : {"fifo", "device"})
    EXPECT_EQ(dir / name + ": Cannot mmap: " + strerror(ENODEV), ErrorOf([&] { CMappedFile f(dir / name); }));
  // A link to a regular file is read through.
  WriteFile(dir / "real", "x\n");
  ASSERT_EQ(0, symlink("real", (dir / "link").c_str()));
  EXPECT_EQ(2u, CMappedFile(dir / "link").Size());
}

TEST(LoadLines, Cases) {
  struct Case {
    std::string bytes;
    std::vector<std::string> lines;
  } cases[] = {
      {"a\nb", {"a", "b"}},
      {"a\nb\n", {"a", "b"}},
      {"a\n\nb\n", {"a", "", "b"}},
      {"\n", {""}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\rb", {"ab"}},
      {"x\n\r", {"x"}},
      {"\r\r\n", {""}},
      {std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
      {"no line feed", {"no line feed"}},
  };
  TempDir dir;
  for (const Case& c : cases) {
    WriteFile(dir / "t", c.bytes);
    std::vector<std::string> lines;
    LoadLines(dir / "t", lines);
    EXPECT_EQ(c.lines, lines) << c.bytes;
  }
}

TEST(LoadLines, AppendsAndReportsMappingErrors) {
  TempDir dir;
  WriteFile(dir / "t", "one\n");
  std::vector<std::string> lines = {"kept"};
  LoadLines(dir / "t", lines);
  EXPECT_EQ((std::vector<std::string>{"kept", "one"}), lines);
  WriteFile(dir / "empty", "");
  EXPECT_EQ(dir / "empty" + ": Cannot mmap: " + strerror(EINVAL), ErrorOf([&] { LoadLines(dir / "empty", lines); }));
  EXPECT_EQ(dir / "none" + ": Cannot open: " + strerror(ENOENT), ErrorOf([&] { LoadLines(dir / "none", lines); }));
}
