// CControlSumMD5 over the whole input in one Update against the same bytes fed in pieces whose sizes
// the input itself chooses, with Get called between the pieces.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "sys/control_sum.h"
#include "fuzz_check.h"

namespace {

struct Digest {
  unsigned char bytes[16];
  bool operator==(const Digest& other) const { return memcmp(bytes, other.bytes, sizeof bytes) == 0; }
};

Digest GetDigest(CControlSumMD5& sum) {
  Digest digest;
  FUZZ_REQUIRE(sum.Get(digest.bytes, sizeof digest.bytes));
  return digest;
}

// The raw context must account for exactly the bytes fed so far: the bit count, and the unfinished
// block holding the last bytes that do not fill a whole block.
void CheckContext(CControlSumMD5& sum, const uint8_t* fed, size_t length) {
  MD5Context context;
  FUZZ_REQUIRE(sum.Get(&context, sizeof context));
  const uint64_t bits = static_cast<uint64_t>(length) * 8;
  FUZZ_REQUIRE(context.count[0] == static_cast<uint32_t>(bits));
  FUZZ_REQUIRE(context.count[1] == static_cast<uint32_t>(bits >> 32));
  const size_t pending = length % 64;
  FUZZ_REQUIRE(pending == 0 || memcmp(context.buffer, fed + length - pending, pending) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CControlSumMD5 whole;
  whole.Update(data, size);
  const Digest expected = GetDigest(whole);
  // Get finalises a copy, so reading twice gives the same digest.
  FUZZ_REQUIRE(GetDigest(whole) == expected);
  CheckContext(whole, data, size);

  // The first byte says how many of the following bytes are piece sizes; the sizes are used in turn
  // until the message is used up, so a few bytes of input reach every position of a block. The whole
  // input, these bytes included, is the message.
  const size_t sizeCount = size == 0 ? 0 : data[0] % 16;
  const uint8_t* sizes = data + (size == 0 ? 0 : 1);
  const size_t available = size == 0 ? 0 : size - 1;
  const size_t usable = sizeCount < available ? sizeCount : available;

  CControlSumMD5 pieces;
  size_t offset = 0;
  for (size_t turn = 0; offset < size; ++turn) {
    size_t piece = usable == 0 ? size - offset : sizes[turn % usable];
    // A size byte above 200 stands for a whole run of blocks, so long pieces straddle many blocks too.
    if (piece > 200)
      piece = (piece - 200) * 64 + (turn & 1);
    if (piece > size - offset)
      piece = size - offset;
    // A zero-length piece may come with no data at all, as an empty file's update could.
    pieces.Update(piece == 0 ? nullptr : data + offset, piece);
    offset += piece;
    // Reading the sum between pieces must not disturb it. Each Get finalises a copy, which costs a
    // block or two, so only turns 0, 1, 3, 7, ... read it and a run stays linear in the input size.
    if ((turn & (turn + 1)) == 0) {
      GetDigest(pieces);
      CheckContext(pieces, data, offset);
    }
    // A run of zero sizes would otherwise loop for ever.
    if (piece == 0 && turn > size + usable)
      break;
  }
  if (offset < size)
    pieces.Update(data + offset, size - offset);
  FUZZ_REQUIRE(GetDigest(pieces) == expected);
  CheckContext(pieces, data, size);

  // Sizes other than 16 and 88, and a null buffer, write nothing.
  unsigned char untouched[89];
  memset(untouched, 0xA5, sizeof untouched);
  const size_t wrongSize = size == 0 ? 0 : data[size - 1];
  if (wrongSize != 16 && wrongSize != 88) {
    FUZZ_REQUIRE(!pieces.Get(untouched, wrongSize < sizeof untouched ? wrongSize : sizeof untouched));
    for (unsigned char byte : untouched)
      FUZZ_REQUIRE(byte == 0xA5);
  }
  FUZZ_REQUIRE(!pieces.Get(nullptr, 16));
  FUZZ_REQUIRE(!pieces.Get(nullptr, sizeof(MD5Context)));
  return 0;
}
