#include "sys/control_sum.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>

#include "sys/descriptor.h"
#include "sys/mapped_file.h"
#include "sys/run_error.h"

namespace {

constexpr uint32_t kInitialState[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

inline uint32_t LoadLittleEndian(const unsigned char* bytes) {
  // memcpy, not a pointer cast: blocks come straight from a mapping at any offset.
  uint32_t word;
  memcpy(&word, bytes, sizeof word);
  if constexpr (std::endian::native == std::endian::big)
    word = __builtin_bswap32(word);
  return word;
}

inline void StoreLittleEndian(uint32_t word, unsigned char* bytes) {
  if constexpr (std::endian::native == std::endian::big)
    word = __builtin_bswap32(word);
  memcpy(bytes, &word, sizeof word);
}

// The step functions are shaped for the one dependency chain that limits MD5: b is the result of
// the previous step, while a, c, d and the message word are known earlier. Everything that does
// not need b (message word plus constant added into a, c ^ d, c & ~d, ~d) is computed first, so
// that only the last few operations wait for b.

template <int shift>
inline void StepF(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t word, uint32_t constant) {
  a += word + constant;
  a += d ^ (b & (c ^ d));
  a = std::rotl(a, shift) + b;
}

template <int shift>
inline void StepG(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t word, uint32_t constant) {
  // (b & d) | (c & ~d) as a sum of its two disjoint halves: c & ~d joins a before b is known.
  a += word + constant;
  a += c & ~d;
  a += b & d;
  a = std::rotl(a, shift) + b;
}

template <int shift>
inline void StepH(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t word, uint32_t constant) {
  a += word + constant;
  a += (c ^ d) ^ b;
  a = std::rotl(a, shift) + b;
}

template <int shift>
inline void StepI(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t word, uint32_t constant) {
  a += word + constant;
  a += c ^ (b | ~d);
  a = std::rotl(a, shift) + b;
}

// How far ahead of the block being hashed a large Update touches its data. A file mapped with small
// pages misses the TLB and the caches once per page; the hashing loop runs too far behind for the
// processor to start those misses early by itself, so they are started 16 blocks in advance.
constexpr size_t kPrefetchBlocks = 16;

// Transforms count consecutive 64-byte blocks, keeping the chaining values in registers between
// blocks so that a long Update never goes back to memory for them.
void TransformBlocks(uint32_t state[4], const unsigned char* data, size_t count) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (; count > 0; --count, data += 64) {
    if (count > kPrefetchBlocks)
      __builtin_prefetch(data + 64 * kPrefetchBlocks);
    const uint32_t x0 = LoadLittleEndian(data + 0), x1 = LoadLittleEndian(data + 4);
    const uint32_t x2 = LoadLittleEndian(data + 8), x3 = LoadLittleEndian(data + 12);
    const uint32_t x4 = LoadLittleEndian(data + 16), x5 = LoadLittleEndian(data + 20);
    const uint32_t x6 = LoadLittleEndian(data + 24), x7 = LoadLittleEndian(data + 28);
    const uint32_t x8 = LoadLittleEndian(data + 32), x9 = LoadLittleEndian(data + 36);
    const uint32_t x10 = LoadLittleEndian(data + 40), x11 = LoadLittleEndian(data + 44);
    const uint32_t x12 = LoadLittleEndian(data + 48), x13 = LoadLittleEndian(data + 52);
    const uint32_t x14 = LoadLittleEndian(data + 56), x15 = LoadLittleEndian(data + 60);
    const uint32_t aa = a, bb = b, cc = c, dd = d;

    StepF<7>(a, b, c, d, x0, 0xd76aa478);
    StepF<12>(d, a, b, c, x1, 0xe8c7b756);
    StepF<17>(c, d, a, b, x2, 0x242070db);
    StepF<22>(b, c, d, a, x3, 0xc1bdceee);
    StepF<7>(a, b, c, d, x4, 0xf57c0faf);
    StepF<12>(d, a, b, c, x5, 0x4787c62a);
    StepF<17>(c, d, a, b, x6, 0xa8304613);
    StepF<22>(b, c, d, a, x7, 0xfd469501);
    StepF<7>(a, b, c, d, x8, 0x698098d8);
    StepF<12>(d, a, b, c, x9, 0x8b44f7af);
    StepF<17>(c, d, a, b, x10, 0xffff5bb1);
    StepF<22>(b, c, d, a, x11, 0x895cd7be);
    StepF<7>(a, b, c, d, x12, 0x6b901122);
    StepF<12>(d, a, b, c, x13, 0xfd987193);
    StepF<17>(c, d, a, b, x14, 0xa679438e);
    StepF<22>(b, c, d, a, x15, 0x49b40821);

    StepG<5>(a, b, c, d, x1, 0xf61e2562);
    StepG<9>(d, a, b, c, x6, 0xc040b340);
    StepG<14>(c, d, a, b, x11, 0x265e5a51);
    StepG<20>(b, c, d, a, x0, 0xe9b6c7aa);
    StepG<5>(a, b, c, d, x5, 0xd62f105d);
    StepG<9>(d, a, b, c, x10, 0x02441453);
    StepG<14>(c, d, a, b, x15, 0xd8a1e681);
    StepG<20>(b, c, d, a, x4, 0xe7d3fbc8);
    StepG<5>(a, b, c, d, x9, 0x21e1cde6);
    StepG<9>(d, a, b, c, x14, 0xc33707d6);
    StepG<14>(c, d, a, b, x3, 0xf4d50d87);
    StepG<20>(b, c, d, a, x8, 0x455a14ed);
    StepG<5>(a, b, c, d, x13, 0xa9e3e905);
    StepG<9>(d, a, b, c, x2, 0xfcefa3f8);
    StepG<14>(c, d, a, b, x7, 0x676f02d9);
    StepG<20>(b, c, d, a, x12, 0x8d2a4c8a);

    StepH<4>(a, b, c, d, x5, 0xfffa3942);
    StepH<11>(d, a, b, c, x8, 0x8771f681);
    StepH<16>(c, d, a, b, x11, 0x6d9d6122);
    StepH<23>(b, c, d, a, x14, 0xfde5380c);
    StepH<4>(a, b, c, d, x1, 0xa4beea44);
    StepH<11>(d, a, b, c, x4, 0x4bdecfa9);
    StepH<16>(c, d, a, b, x7, 0xf6bb4b60);
    StepH<23>(b, c, d, a, x10, 0xbebfbc70);
    StepH<4>(a, b, c, d, x13, 0x289b7ec6);
    StepH<11>(d, a, b, c, x0, 0xeaa127fa);
    StepH<16>(c, d, a, b, x3, 0xd4ef3085);
    StepH<23>(b, c, d, a, x6, 0x04881d05);
    StepH<4>(a, b, c, d, x9, 0xd9d4d039);
    StepH<11>(d, a, b, c, x12, 0xe6db99e5);
    StepH<16>(c, d, a, b, x15, 0x1fa27cf8);
    StepH<23>(b, c, d, a, x2, 0xc4ac5665);

    StepI<6>(a, b, c, d, x0, 0xf4292244);
    StepI<10>(d, a, b, c, x7, 0x432aff97);
    StepI<15>(c, d, a, b, x14, 0xab9423a7);
    StepI<21>(b, c, d, a, x5, 0xfc93a039);
    StepI<6>(a, b, c, d, x12, 0x655b59c3);
    StepI<10>(d, a, b, c, x3, 0x8f0ccc92);
    StepI<15>(c, d, a, b, x10, 0xffeff47d);
    StepI<21>(b, c, d, a, x1, 0x85845dd1);
    StepI<6>(a, b, c, d, x8, 0x6fa87e4f);
    StepI<10>(d, a, b, c, x15, 0xfe2ce6e0);
    StepI<15>(c, d, a, b, x6, 0xa3014314);
    StepI<21>(b, c, d, a, x13, 0x4e0811a1);
    StepI<6>(a, b, c, d, x4, 0xf7537e82);
    StepI<10>(d, a, b, c, x11, 0xbd3af235);
    StepI<15>(c, d, a, b, x2, 0x2ad7d2bb);
    StepI<21>(b, c, d, a, x9, 0xeb86d391);

    a += aa;
    b += bb;
    c += cc;
    d += dd;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

void UpdateContext(MD5Context& context, const unsigned char* data, size_t length) {
  // Nothing to do, and data may be null then, which memcpy must not be given.
  if (length == 0)
    return;
  const size_t index = (context.count[0] >> 3) & 63;
  const uint32_t bits = static_cast<uint32_t>(length << 3);
  context.count[0] += bits;
  if (context.count[0] < bits)
    ++context.count[1];
  context.count[1] += static_cast<uint32_t>(length >> 29);

  const size_t room = 64 - index;
  if (length < room) {
    memcpy(context.buffer + index, data, length);
    return;
  }
  memcpy(context.buffer + index, data, room);
  TransformBlocks(context.state, context.buffer, 1);
  data += room;
  length -= room;
  // Whole blocks are hashed where they lie; only the tail that straddles the end is copied.
  TransformBlocks(context.state, data, length / 64);
  memcpy(context.buffer, data + (length & ~size_t{63}), length & 63);
}

void FinishContext(MD5Context context, unsigned char digest[16]) {
  unsigned char length[8];
  StoreLittleEndian(context.count[0], length);
  StoreLittleEndian(context.count[1], length + 4);
  static const unsigned char kFill[64] = {0x80};
  const size_t index = (context.count[0] >> 3) & 63;
  UpdateContext(context, kFill, index < 56 ? 56 - index : 120 - index);
  UpdateContext(context, length, sizeof length);
  for (int i = 0; i < 4; ++i)
    StoreLittleEndian(context.state[i], digest + 4 * i);
}

// Large enough that each read costs little against hashing it, small enough to stay in the caches;
// 64 KiB to 1 MiB measured alike, 128 KiB a little ahead.
constexpr size_t kReadBlock = 128 * 1024;

}  // namespace

CControlSumMD5::CControlSumMD5() : context{} {
  memcpy(context.state, kInitialState, sizeof context.state);
}

void CControlSumMD5::Update(const void* data, size_t length) {
  UpdateContext(context, static_cast<const unsigned char*>(data), length);
}

bool CControlSumMD5::Get(void* out, size_t size) {
  if (out == nullptr)
    return false;
  if (size == sizeof(MD5Context)) {
    memcpy(out, &context, sizeof context);
    return true;
  }
  if (size == 16) {
    FinishContext(context, static_cast<unsigned char*>(out));
    return true;
  }
  return false;
}

std::string CControlSumMD5::HexDigest() {
  unsigned char digest[16];
  FinishContext(context, digest);
  return HexBytes(digest, sizeof digest);
}

std::string DescriptorControlSum(int fd, uint64_t size, const std::string& path, std::vector<unsigned char>& buffer,
                                 IControlSum* also) {
  // Read in large blocks rather than through a mapping: a mapping costs a page-table entry per page,
  // which on virtual machines makes it slower than md5sum's plain reads, and a file truncated by
  // someone else while mapped would kill the run with SIGBUS. An empty file simply sums to the digest
  // of the empty message.
  // Most hashed files are small configuration files: a buffer of their size (one byte more, to see
  // the end in the same read) spares a large allocation per file; a file that grows meanwhile is
  // still read to its end.
  const size_t blockSize = static_cast<size_t>(std::min<uint64_t>(kReadBlock, size + 1));
  if (buffer.size() < blockSize)
    buffer.resize(blockSize);
  // Read-ahead advice pays only for files that take more than one read.
  if (blockSize == kReadBlock)
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  CControlSumMD5 sum;
  uint64_t total = 0;
  for (;;) {
    ssize_t count = ReadRetrying(fd, buffer.data(), blockSize);
    if (count < 0)
      FailErrno(errno, "%s: Cannot read", path.c_str());
    if (count == 0)
      break;
    sum.Update(buffer.data(), static_cast<size_t>(count));
    if (also)
      also->Update(buffer.data(), static_cast<size_t>(count));
    total += static_cast<uint64_t>(count);
    // A short read that reaches the length fstat gave is the end of a regular file; one more read
    // would only return 0, at the price of a system call per file.
    if (static_cast<size_t>(count) < blockSize && total >= size)
      break;
  }
  return sum.HexDigest();
}

std::string FileControlSum(const std::string& path) {
  struct stat status;
  CDescriptor file(OpenRegularFile(path, status));
  std::vector<unsigned char> buffer;
  return DescriptorControlSum(file.Get(), static_cast<uint64_t>(status.st_size), path, buffer);
}
