#include "install/fingerprint_book.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "sys/test_support.h"

namespace {

const char kDigest[] = "0123456789ABCDEF0123456789ABCDEF";

/// Long enough for the coarse clock to pass any timestamp granule of the file systems tests run on.
void WaitForTheClock() {
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

}  // namespace

TEST(FingerprintBook, OnlyFingerprintsTakenAGranuleAfterTheirChangeAreRecorded) {
  TempDir dir;
  CDescriptor base(open(dir.Path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  const std::string table = dir / "files.txt";
  auto known = [&](const std::string& name, bool ignore = false) {
    const CFingerprintBook book(table, base.Get(), ignore, "");
    const KnownContent* known = book.Known(name, ExaminePath(base.Get(), name, false));
    return known ? known->digest : std::string();
  };
  auto record = [&](const std::function<void(CFingerprintBook&)>& note) {
    CFingerprintBook book(table, base.Get(), false, "");
    note(book);
    book.Write();
  };
  WriteFile(dir / "found", "x");
  WriteFile(dir / "changed", "y");
  // Looked at in the tick of their change: a change made right after would not show.
  record([&](CFingerprintBook& book) {
    const PathState present = ExaminePath(base.Get(), "found", false);
    book.Found("found", present, kDigest, "", {present.ctime, present.ctimeNanoseconds});
  });
  EXPECT_EQ("", known("found"));
  WaitForTheClock();
  record([&](CFingerprintBook& book) {
    book.Found("found", ExaminePath(base.Get(), "found", false), kDigest, "", FileClockNow());
    // What the run changed is judged when the record is written, a granule after the change.
    book.Changed("changed", ExaminePath(base.Get(), "changed", false), kDigest, "");
    WaitForTheClock();
  });
  EXPECT_EQ(kDigest, known("found"));
  EXPECT_EQ(kDigest, known("changed"));
  EXPECT_EQ("", known("found", true)) << "--checksum trusts no fingerprint";
  ASSERT_EQ(0, chmod((table + ".fingerprints").c_str(), 0620));
  EXPECT_EQ("", known("found")) << "a record that others may write is no record";
  ASSERT_EQ(0, chmod((table + ".fingerprints").c_str(), 0600));
  EXPECT_EQ("", known("missing"));
  // A later write, even one that keeps size and time, is a change of state.
  struct stat before = StatPath(dir / "found");
  WriteFile(dir / "found", "z");
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(0, utimensat(AT_FDCWD, (dir / "found").c_str(), times, 0));
  EXPECT_EQ("", known("found"));
  EXPECT_EQ(kDigest, known("changed"));
}

TEST(FingerprintBook, ContentBeingInstalledIsRememberedUntilTheRunCompletes) {
  TempDir dir;
  CDescriptor base(open(dir.Path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  const std::string table = dir / "files.txt";
  const std::string applied =
      "table 1 - files.txt root root 0644\n"
      "file etc/a root root 1 0644 a 11111111111111111111111111111111 0 y\n"
      "file etc/b root root 1 0644 b 22222222222222222222222222222222 0 n\n"
      "file etc/c root root 1 0644 c 33333333333333333333333333333333 0 y\n"
      "end\n";
  {
    CFingerprintBook failed(table, base.Get(), false, applied);
    failed.Installing("etc/a", "11111111111111111111111111111111");
    failed.Installing("etc/c", "33333333333333333333333333333333");
  }
  CFingerprintBook next(table, base.Get(), false, "");
  EXPECT_TRUE(next.WasInstalling("etc/a", "11111111111111111111111111111111"));
  EXPECT_TRUE(next.WasInstalling("etc/c", "33333333333333333333333333333333"));
  EXPECT_FALSE(next.WasInstalling("etc/b", "22222222222222222222222222222222")) << "not kept: always copied";
  EXPECT_FALSE(next.WasInstalling("etc/a", "33333333333333333333333333333333"));
  // A second failed run adds to what the first left.
  next.Installing("etc/d", "44444444444444444444444444444444");
  EXPECT_TRUE(
      CFingerprintBook(table, base.Get(), false, "").WasInstalling("etc/a", "11111111111111111111111111111111"));
  next.Complete();
  EXPECT_NE(0, access((table + ".installing").c_str(), F_OK));
}
