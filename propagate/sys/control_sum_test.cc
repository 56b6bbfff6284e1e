#include "sys/control_sum.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "sys/test_support.h"

namespace {

std::string Digest(CControlSumMD5& sum) {
  unsigned char digest[16];
  EXPECT_TRUE(sum.Get(digest, sizeof digest));
  return HexBytes(digest, sizeof digest);
}

std::string DigestOf(const std::string& message) {
  CControlSumMD5 sum;
  sum.Update(message.data(), message.size());
  return Digest(sum);
}

// Bytes without a period that lines up with the 64-byte block.
std::string Pattern(size_t length) {
  std::string bytes(length, '\0');
  uint32_t seed = 12345;
  for (char& byte : bytes) {
    seed = seed * 1103515245 + 12345;
    byte = static_cast<char>(seed >> 24);
  }
  return bytes;
}

// The digest of an independent implementation, md5sum, in upper case.
std::string Md5sumOf(const std::string& path) {
  std::string command = "md5sum -- '" + path + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe)
    return "(md5sum failed)";
  char line[128] = {};
  bool read = fgets(line, sizeof line, pipe) != nullptr;
  pclose(pipe);
  if (!read || strlen(line) < 32)
    return "(md5sum failed)";
  std::string digest(line, 32);
  for (char& c : digest)
    c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return digest;
}

}  // namespace

TEST(ControlSumMD5, Rfc1321TestSuite) {
  // From RFC 1321, appendix A.5.
  struct Case {
    const char* message;
    const char* digest;
  } cases[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E"},
      {"a", "0CC175B9C0F1B6A831C399E269772661"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72"},
      {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
      {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "D174AB98D277D9F5A5611C2C9F419D9F"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57EDF4A22BE3C955AC49DA2E2107B67A"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.digest, DigestOf(c.message)) << '"' << c.message << '"';
}

TEST(ControlSumMD5, EverySplitEqualsOneShot) {
  // Lengths around the padding boundaries (55: length fits the last block; 56 to 63: it does not)
  // and the block boundary, in the first and the second block.
  for (size_t length : {55, 56, 63, 64, 65, 119, 120, 127, 128, 129}) {
    const std::string message = Pattern(length);
    const std::string expected = DigestOf(message);
    for (size_t first = 0; first <= length; ++first) {
      for (size_t second = first; second <= length; ++second) {
        CControlSumMD5 sum;
        sum.Update(message.data(), first);
        sum.Update(nullptr, 0);
        sum.Update(message.data() + first, second - first);
        sum.Update(message.data() + second, 0);
        sum.Update(message.data() + second, length - second);
        ASSERT_EQ(expected, Digest(sum)) << "length " << length << " cut at " << first << " and " << second;
      }
    }
  }
}

TEST(ControlSumMD5, ByteByByteAcrossManyBlocks) {
  const std::string message = Pattern(1000);
  CControlSumMD5 sum;
  for (char byte : message)
    sum.Update(&byte, 1);
  EXPECT_EQ(DigestOf(message), Digest(sum));
}

TEST(ControlSumMD5, GetDoesNotConsumeTheSum) {
  CControlSumMD5 sum;
  sum.Update("message ", 8);
  const std::string first = Digest(sum);
  EXPECT_EQ(first, Digest(sum));
  EXPECT_EQ(DigestOf("message "), first);
  sum.Update("digest", 6);
  // From RFC 1321, appendix A.5: the message continues where it stood before Get.
  EXPECT_EQ("F96B697D7CB7938D525A2F31AAF161D0", sum.HexDigest());
  EXPECT_EQ("F96B697D7CB7938D525A2F31AAF161D0", Digest(sum));
}

TEST(ControlSumMD5, RawContext) {
  CControlSumMD5 sum;
  MD5Context context;
  memset(&context, 0xA5, sizeof context);
  ASSERT_TRUE(sum.Get(&context, sizeof context));
  // MD5Init's values from RFC 1321, section 3.3.
  EXPECT_EQ(0x67452301u, context.state[0]);
  EXPECT_EQ(0xefcdab89u, context.state[1]);
  EXPECT_EQ(0x98badcfeu, context.state[2]);
  EXPECT_EQ(0x10325476u, context.state[3]);
  EXPECT_EQ(0u, context.count[0]);
  EXPECT_EQ(0u, context.count[1]);
  for (unsigned char byte : context.buffer)
    ASSERT_EQ(0, byte);

  sum.Update("abc", 3);
  ASSERT_TRUE(sum.Get(&context, sizeof context));
  EXPECT_EQ(0x67452301u, context.state[0]);
  EXPECT_EQ(24u, context.count[0]);
  EXPECT_EQ(0, memcmp("abc\0\0", context.buffer, 5));
}

TEST(ControlSumMD5, BitCountCarriesIntoHighWord) {
  // 513 MiB is 2^32 + 2^23 bits. Digest computed with GNU coreutils md5sum of /dev/zero.
  const std::vector<unsigned char> zeros(1 << 20);
  CControlSumMD5 sum;
  for (int i = 0; i < 513; ++i)
    sum.Update(zeros.data(), zeros.size());
  MD5Context context;
  ASSERT_TRUE(sum.Get(&context, sizeof context));
  EXPECT_EQ(1u << 23, context.count[0]);
  EXPECT_EQ(1u, context.count[1]);
  EXPECT_EQ("F3A8799D64129A6FD8A5AA56F199AC54", Digest(sum));
}

TEST(ControlSumMD5, GetRefusesOtherSizesWithoutWriting) {
  CControlSumMD5 sum;
  sum.Update("abc", 3);
  EXPECT_FALSE(sum.Get(nullptr, 16));
  EXPECT_FALSE(sum.Get(nullptr, sizeof(MD5Context)));
  EXPECT_FALSE(sum.Get(nullptr, 0));
  for (size_t size : {0, 1, 15, 17, 32, 64, 87, 89, 128}) {
    unsigned char buffer[128];
    memset(buffer, 0xA5, sizeof buffer);
    EXPECT_FALSE(sum.Get(buffer, size)) << size;
    for (unsigned char byte : buffer)
      ASSERT_EQ(0xA5, byte) << size;
  }
  EXPECT_EQ("900150983CD24FB0D6963F7D28E17F72", Digest(sum));
}

TEST(FileControlSum, MatchesMd5sum) {
  TempDir dir;
  // Around the read block too: a file that ends exactly on a block, or one byte past it.
  for (size_t size : {0, 1, 55, 56, 63, 64, 65, 4096, 131071, 131072, 131073, 262144, (1 << 20) + 3}) {
    const std::string path = dir / ("f" + std::to_string(size));
    WriteFile(path, Pattern(size));
    EXPECT_EQ(Md5sumOf(path), FileControlSum(path)) << size << " bytes";
  }
}

TEST(FileControlSum, ReadsPastALengthOfZero) {
  // /proc files claim length 0 and have content: the sum must not stop where the length says.
  EXPECT_EQ(Md5sumOf("/proc/version"), FileControlSum("/proc/version"));
}

TEST(FileControlSum, EmptyFileHasTheEmptyMessageDigest) {
  TempDir dir;
  WriteFile(dir / "empty", "");
  // From RFC 1321, appendix A.5: MD5 ("").
  EXPECT_EQ("D41D8CD98F00B204E9800998ECF8427E", FileControlSum(dir / "empty"));
}

TEST(FileControlSum, Failures) {
  TempDir dir;
  EXPECT_EQ(dir / "missing" + ": Cannot open: " + strerror(ENOENT), ErrorOf([&] { FileControlSum(dir / "missing"); }));
  // Anything but a regular file is refused as the system refuses to map it; a FIFO must not block.
  EXPECT_EQ(dir.Path() + ": Cannot mmap: " + strerror(ENODEV), ErrorOf([&] { FileControlSum(dir.Path()); }));
  ASSERT_EQ(0, mkfifo((dir / "fifo").c_str(), 0600));
  EXPECT_EQ(dir / "fifo" + ": Cannot mmap: " + strerror(ENODEV), ErrorOf([&] { FileControlSum(dir / "fifo"); }));
  if (!IsRoot()) {
    WriteFile(dir / "unreadable", "");
    chmod((dir / "unreadable").c_str(), 0);
    EXPECT_EQ(dir / "unreadable" + ": Cannot open: " + strerror(EACCES),
              ErrorOf([&] { FileControlSum(dir / "unreadable"); }));
  }
}
