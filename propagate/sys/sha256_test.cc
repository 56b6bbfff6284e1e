#include "sys/sha256.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sys/test_support.h"

namespace {

// Bytes without a period that lines up with the 64-byte block.
std::string Pattern(size_t length) {
  std::string bytes(length, '\0');
  uint32_t seed = 54321;
  for (char& byte : bytes) {
    seed = seed * 1103515245 + 12345;
    byte = static_cast<char>(seed >> 24);
  }
  return bytes;
}

// The digest that an independent implementation, sha256sum, prints; empty when it cannot run.
std::string Sha256sumOf(const std::string& path) {
  std::string command = "sha256sum -- '" + path + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe)
    return "";
  char line[256] = {};
  bool read = fgets(line, sizeof line, pipe) != nullptr;
  if (pclose(pipe) != 0 || !read || strlen(line) < 64)
    return "";
  return std::string(line, 64);
}

}  // namespace

TEST(Sha256, KnownDigestsWholeAndByteByByte) {
  // FIPS 180-4 examples, and the empty message.
  struct Case {
    std::string message;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    CControlSumSHA256 whole;
    whole.Update(c.message.data(), c.message.size());
    EXPECT_EQ(c.digest, whole.HexDigest()) << c.message.size() << " bytes";
    CControlSumSHA256 pieces;
    for (char byte : c.message)
      pieces.Update(&byte, 1);
    EXPECT_EQ(c.digest, pieces.HexDigest()) << c.message.size() << " bytes, byte by byte";
  }
}

TEST(Sha256, HexDigestDoesNotConsumeTheSum) {
  CControlSumSHA256 sum;
  sum.Update("ab", 2);
  const std::string partial = sum.HexDigest();
  EXPECT_EQ(partial, sum.HexDigest());
  sum.Update("c", 1);
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", sum.HexDigest());
  // Fed through the interface the copy paths use.
  CControlSumSHA256 other;
  IControlSum& through = other;
  through.Update("ab", 2);
  EXPECT_EQ(partial, other.HexDigest());
}

TEST(Sha256, FileMatchesSha256sum) {
  TempDir dir;
  if (Sha256sumOf("/proc/version").empty())
    GTEST_SKIP() << "sha256sum cannot run here";
  // Around the read block: a file that ends exactly on a block, or one byte past it.
  for (size_t size : {0, 1, 64, 131071, 131072, 131073, (1 << 20) + 3}) {
    const std::string path = dir / ("f" + std::to_string(size));
    WriteFile(path, Pattern(size));
    EXPECT_EQ(Sha256sumOf(path), FileSHA256(path)) << size << " bytes";
  }
  // /proc files claim length 0 and have content.
  EXPECT_EQ(Sha256sumOf("/proc/version"), FileSHA256("/proc/version"));
}

TEST(Sha256, FileFailures) {
  TempDir dir;
  EXPECT_EQ(dir / "missing" + ": Cannot open: " + strerror(ENOENT), ErrorOf([&] { FileSHA256(dir / "missing"); }));
  EXPECT_EQ(dir.Path() + ": Cannot mmap: " + strerror(ENODEV), ErrorOf([&] { FileSHA256(dir.Path()); }));
}
