#include "table/known_content.h"

#include <gtest/gtest.h>

namespace {

Fingerprint Changed(int64_t seconds, int64_t nanoseconds) {
  Fingerprint fingerprint;
  fingerprint.ctime = seconds;
  fingerprint.ctimeNanoseconds = nanoseconds;
  return fingerprint;
}

}  // namespace

TEST(KnownContent, AFingerprintIsTrustedOnlyOnceItsChangeTimeIsAGranuleOld) {
  struct Case {
    const char* what;
    Fingerprint fingerprint;
    struct timespec takenAt;
    bool settled;
  } cases[] = {
      {"changed in the tick it was taken", Changed(100, 4000001), {100, 4000001}, false},
      {"changed a tick before", Changed(100, 4000001), {100, 8000001}, true},
      {"changed after it was taken", Changed(100, 8000001), {100, 4000001}, false},
      {"whole seconds: the same second", Changed(100, 0), {100, 900000000}, false},
      {"whole seconds: the next second may be the same two-second granule", Changed(100, 0), {101, 500000000}, false},
      {"whole seconds: two seconds later", Changed(100, 0), {102, 0}, true},
      {"a ten-millisecond granule", Changed(100, 10000000), {100, 25000000}, false},
      {"a ten-millisecond granule, passed twice", Changed(100, 10000000), {100, 30000000}, true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.settled, SettledBefore(c.fingerprint, c.takenAt)) << c.what;
}

TEST(KnownContent, FingerprintsComeBackOnlyFromAWholeFileOfTheSameDirectory) {
  KnownContents contents;
  Fingerprint print{1, 2, 3, 4, 5, 6, 7};
  contents["a b/c"] = {print, "d41d8cd98f00b204e9800998ecf8427e", ""};
  contents["plain"] = {Fingerprint{8, 9, 10, 11, 12, 13, 14}, "0123456789ABCDEF0123456789ABCDEF",
                       std::string(64, 'e')};
  ContentsToWrite toWrite;
  for (const auto& [name, known] : contents)
    toWrite[name] = &known;
  toWrite["dropped"] = nullptr;
  const std::string text = FormatFingerprints(7, 9, toWrite);
  KnownContents back = ParseFingerprints(text, 7, 9);
  ASSERT_EQ(2u, back.size());
  EXPECT_TRUE(back["a b/c"].fingerprint == print);
  EXPECT_EQ("D41D8CD98F00B204E9800998ECF8427E", back["a b/c"].digest);
  EXPECT_EQ("0123456789ABCDEF0123456789ABCDEF", back["plain"].digest);
  EXPECT_EQ(std::string(64, 'e'), back["plain"].sha256);
  EXPECT_EQ("", back["a b/c"].sha256);

  const std::string header = "propagate-fingerprints 2 7 9\n";
  const std::string line = "1 2 3 4 5 6 7 0123456789ABCDEF0123456789ABCDEF - a\n";
  struct Case {
    const char* what;
    std::string text;
    uint64_t device, inode;
  } refused[] = {
      {"another base directory", text, 7, 10},
      {"cut short", text.substr(0, text.size() - 7), 7, 9},
      {"cut at a line end", text.substr(0, text.rfind("end")), 7, 9},
      {"an end that counts otherwise", header + line + "end 2\n", 7, 9},
      {"another version", "propagate-fingerprints 1 7 9\n" + line + "end 1\n", 7, 9},
      {"a damaged number", header + "1 2 x 4 5 6 7 0123456789ABCDEF0123456789ABCDEF - a\nend 1\n", 7, 9},
      {"a damaged sum", header + "1 2 3 4 5 6 7 0123456789ABCDEF0123456789ABCDEG - a\nend 1\n", 7, 9},
      {"a damaged SHA-256", header + "1 2 3 4 5 6 7 0123456789ABCDEF0123456789ABCDEF ab a\nend 1\n", 7, 9},
      {"no name", header + "1 2 3 4 5 6 7 0123456789ABCDEF0123456789ABCDEF -\nend 1\n", 7, 9},
      {"lines after the end", header + line + "end 1\n" + line, 7, 9},
      {"empty", "", 7, 9},
  };
  for (const Case& c : refused)
    EXPECT_TRUE(ParseFingerprints(c.text, c.device, c.inode).empty()) << c.what;
  EXPECT_EQ(1u, ParseFingerprints(header + line + "end 1\n", 7, 9).size());
}

TEST(KnownContent, InstallingContentsSkipWhatIsDamagedOrCutShort) {
  const std::string text = std::string(kInstallingHeader) +
                           FormatInstalling("etc/app conf", "abcdefabcdefabcdefabcdefabcdefab") + "damaged line\n" +
                           FormatInstalling("etc/app conf", "0123456789ABCDEF0123456789ABCDEF") +
                           "0123456789ABCDEF0123456789ABCDEF cut";
  InstallingContents contents = ParseInstalling(text);
  ASSERT_EQ(2u, contents.size());
  auto [first, last] = contents.equal_range("etc/app conf");
  std::vector<std::string> digests;
  for (auto entry = first; entry != last; ++entry)
    digests.push_back(entry->second);
  std::sort(digests.begin(), digests.end());
  EXPECT_EQ((std::vector<std::string>{"0123456789ABCDEF0123456789ABCDEF", "ABCDEFABCDEFABCDEFABCDEFABCDEFAB"}),
            digests);
  EXPECT_TRUE(ParseInstalling(text.substr(std::string(kInstallingHeader).size())).empty());
}
