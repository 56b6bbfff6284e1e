#ifndef PROPAGATE_SYS_CONTROL_SUM_H_
#define PROPAGATE_SYS_CONTROL_SUM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sys/hex_text.h"

/// A running control sum over a stream of bytes.
class IControlSum {
 public:
  /// Feeds length bytes at data into the sum; the default does nothing.
  virtual void Update(const void* data, size_t length) {
    (void)data;
    (void)length;
  }
  virtual ~IControlSum() {}
};

/// A control sum whose value can be read at any moment without consuming it.
class IControlSumGet : public IControlSum {
 public:
  /// Writes the value into out when size fits the implementation; true when something was written.
  virtual bool Get(void* out, size_t size) = 0;
};

/// The raw MD5 state: chaining values, bit count (low word first), and the unfinished block.
struct MD5Context {
  uint32_t state[4];
  uint32_t count[2];
  unsigned char buffer[64];
};
static_assert(sizeof(MD5Context) == 88, "the raw context handed out by Get is exactly 88 bytes");

/// The MD5 message digest of RFC 1321.
class CControlSumMD5 final : public IControlSumGet {
 public:
  /// Starts in RFC 1321's initial state with an empty buffer.
  CControlSumMD5();
  /// Feeds length bytes at data.
  void Update(const void* data, size_t length) override;
  /// Null out or any other size: false. Size 88: the raw context. Size 16: the digest of everything fed
  /// so far, leaving the running sum unchanged.
  bool Get(void* out, size_t size) override;
  /// The digest of everything fed so far as 32 upper-case hexadecimal digits; the running sum goes on.
  std::string HexDigest();

 private:
  MD5Context context;
};

/// MD5 of the open regular file fd of size bytes (as fstat gave it), read from its offset to its end, as 32
/// upper-case hexadecimal digits; buffer is scratch space kept between calls; also, when given, is fed the
/// same bytes. "%s: Cannot read: %s" (path).
std::string DescriptorControlSum(int fd, uint64_t size, const std::string& path, std::vector<unsigned char>& buffer,
                                 IControlSum* also = nullptr);
/// MD5 of the whole regular file at path as 32 upper-case hexadecimal digits; "%s: Cannot open: %s",
/// "%s: Cannot stat: %s", "%s: Cannot mmap: %s" (ENODEV: not a regular file), "%s: Cannot read: %s".
std::string FileControlSum(const std::string& path);

#endif  // PROPAGATE_SYS_CONTROL_SUM_H_
