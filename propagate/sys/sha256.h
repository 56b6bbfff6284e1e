#ifndef PROPAGATE_SYS_SHA256_H_
#define PROPAGATE_SYS_SHA256_H_

#include <cstddef>
#include <memory>
#include <string>

#include "sys/control_sum.h"

struct evp_md_ctx_st;

/// Frees an OpenSSL digest context.
struct CDigestContextFree {
  /// EVP_MD_CTX_free of context.
  void operator()(evp_md_ctx_st* context) const;
};

/// The SHA-256 digest of FIPS 180-4, computed by OpenSSL's libcrypto with the processor's SHA instructions
/// where it has them.
class CControlSumSHA256 final : public IControlSum {
 public:
  /// Starts the digest of the empty message; "Cannot start SHA-256: %s" (OpenSSL's reason) when refused.
  CControlSumSHA256();
  /// Feeds length bytes at data; "Cannot compute SHA-256: %s" when refused.
  void Update(const void* data, size_t length) override;
  /// The digest of everything fed so far as 64 lower-case hexadecimal digits, as sha256sum prints it; the
  /// running sum goes on.
  std::string HexDigest() const;

 private:
  std::unique_ptr<evp_md_ctx_st, CDigestContextFree> context;
};

/// SHA-256 of the whole regular file at path, opened as FileControlSum opens it, as HexDigest gives it;
/// "%s: Cannot open: %s", "%s: Cannot stat: %s", "%s: Cannot mmap: %s" (ENODEV: not a regular file),
/// "%s: Cannot read: %s".
std::string FileSHA256(const std::string& path);

#endif  // PROPAGATE_SYS_SHA256_H_
