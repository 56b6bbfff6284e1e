#include "sys/sha256.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "sys/descriptor.h"
#include "sys/mapped_file.h"
#include "sys/run_error.h"

namespace {

// OpenSSL queues its reasons per thread; the latest one says why the call just made failed.
std::string OpenSSLReason() {
  unsigned long code = ERR_get_error();
  if (code == 0)
    return "no reason given";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

// As for MD5: large enough that each read costs little against hashing it, small enough for the caches.
constexpr size_t kReadBlock = 128 * 1024;

}  // namespace

void CDigestContextFree::operator()(evp_md_ctx_st* context) const {
  EVP_MD_CTX_free(context);
}

CControlSumSHA256::CControlSumSHA256() : context(EVP_MD_CTX_new()) {
  if (!context)
    Fail("Cannot start SHA-256: %s", OpenSSLReason().c_str());
  if (EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
    Fail("Cannot start SHA-256: %s", OpenSSLReason().c_str());
}

void CControlSumSHA256::Update(const void* data, size_t length) {
  if (EVP_DigestUpdate(context.get(), data, length) != 1)
    Fail("Cannot compute SHA-256: %s", OpenSSLReason().c_str());
}

std::string CControlSumSHA256::HexDigest() const {
  // Finishing consumes a context, so a copy is finished and the running one goes on.
  std::unique_ptr<evp_md_ctx_st, CDigestContextFree> finished(EVP_MD_CTX_new());
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!finished || EVP_MD_CTX_copy_ex(finished.get(), context.get()) != 1 ||
      EVP_DigestFinal_ex(finished.get(), digest, &length) != 1)
    Fail("Cannot compute SHA-256: %s", OpenSSLReason().c_str());
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    text += kDigits[digest[i] >> 4];
    text += kDigits[digest[i] & 15];
  }
  return text;
}

std::string FileSHA256(const std::string& path) {
  struct stat status;
  CDescriptor file(OpenRegularFile(path, status));
  const uint64_t size = static_cast<uint64_t>(status.st_size);
  // One byte more than a small file's size sees its end in the same read; a file that grows meanwhile, or
  // one that claims no length (/proc), is still read to its end.
  std::vector<unsigned char> buffer(static_cast<size_t>(std::min<uint64_t>(kReadBlock, size + 1)));
  if (buffer.size() == kReadBlock)
    posix_fadvise(file.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  CControlSumSHA256 sum;
  for (;;) {
    ssize_t count = ReadRetrying(file.Get(), buffer.data(), buffer.size());
    if (count < 0)
      FailErrno(errno, "%s: Cannot read", path.c_str());
    if (count == 0)
      break;
    sum.Update(buffer.data(), static_cast<size_t>(count));
  }
  return sum.HexDigest();
}
