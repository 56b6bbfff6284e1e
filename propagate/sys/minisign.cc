#include "sys/minisign.h"

#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "sys/descriptor.h"
#include "sys/mapped_file.h"
#include "sys/run_error.h"

namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr std::string_view kOwnUntrustedComment = "untrusted comment: signature from propagate secret key";

// "Ed" names Ed25519 keys, and legacy signatures over the raw content; "ED" signatures are over the BLAKE2b-512
// of the content, so that a large file need not be held whole while it is verified.
constexpr unsigned char kKeyAlgorithm[2] = {'E', 'd'};
constexpr unsigned char kPrehashedAlgorithm[2] = {'E', 'D'};
constexpr unsigned char kScryptDerivation[2] = {'S', 'c'};
constexpr unsigned char kNoDerivation[2] = {0, 0};
constexpr unsigned char kBlake2bChecksum[2] = {'B', '2'};

constexpr size_t kKeyIdSize = 8;
constexpr size_t kPublicKeyBytes = 2 + kKeyIdSize + crypto_sign_PUBLICKEYBYTES;
constexpr size_t kSignatureBytes = 2 + kKeyIdSize + crypto_sign_BYTES;
constexpr size_t kPrehashBytes = crypto_generichash_BYTES_MAX;

// The secret key file's bytes: algorithms, then scrypt's parameters, then the part that a passphrase encrypts:
// key id, Ed25519 secret key, and a checksum that tells a wrong passphrase from the right one.
constexpr size_t kDerivationOffset = 2;
constexpr size_t kChecksumAlgorithmOffset = 4;
constexpr size_t kSaltOffset = 6;
constexpr size_t kOpslimitOffset = kSaltOffset + crypto_pwhash_scryptsalsa208sha256_SALTBYTES;
constexpr size_t kMemlimitOffset = kOpslimitOffset + 8;
constexpr size_t kEncryptedOffset = kMemlimitOffset + 8;
constexpr size_t kSecretKeyOffset = kEncryptedOffset + kKeyIdSize;
constexpr size_t kChecksumOffset = kSecretKeyOffset + crypto_sign_SECRETKEYBYTES;
constexpr size_t kChecksumBytes = crypto_generichash_BYTES;
constexpr size_t kSecretKeyFileBytes = kChecksumOffset + kChecksumBytes;
static_assert(kSecretKeyFileBytes == 158, "minisign's secret key files hold 158 bytes");

// minisign's key files are a few hundred bytes; anything much larger is something else.
constexpr size_t kKeyFileLimit = 8192;

void InitialiseSodium() {
  // sodium_init picks the implementations and seeds the random generator; a static's initialisation runs exactly
  // once even when threads reach it together.
  static const int result = sodium_init();
  if (result < 0)
    Fail("Cannot initialise libsodium");
}

// The lines as minisign reads them: split at each LF, each cut at its first CR; a last line without LF counts.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    lines.push_back(line.substr(0, line.find('\r')));
    if (end == std::string_view::npos)
      break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Bytes that may be anything, quoted for a message: printable ASCII as itself, the rest as \xHH.
std::string QuotedBytes(const unsigned char* bytes, size_t count) {
  std::string text = "\"";
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '"' && bytes[i] != '\\') {
      text += static_cast<char>(bytes[i]);
    } else {
      char escaped[5];
      snprintf(escaped, sizeof escaped, "\\x%02X", bytes[i]);
      text += escaped;
    }
  }
  return text + "\"";
}

// Decodes standard padded base64 into out, which has room for capacity bytes; false when line is not base64
// or decodes to more.
bool DecodeBase64(std::string_view line, unsigned char* out, size_t capacity, size_t& length) {
  return sodium_base642bin(out, capacity, line.data(), line.size(), nullptr, &length, nullptr,
                           sodium_base64_VARIANT_ORIGINAL) == 0;
}

std::string EncodeBase64(const unsigned char* bytes, size_t count) {
  std::string text(sodium_base64_ENCODED_LEN(count, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), bytes, count, sodium_base64_VARIANT_ORIGINAL);
  text.resize(text.size() - 1);  // the terminating zero
  return text;
}

// The base64 line number lineNumber of a signature, which must decode to exactly size bytes.
std::vector<unsigned char> DecodeSignatureLine(std::string_view line, const char* path, int lineNumber, size_t size,
                                               const char* what) {
  std::vector<unsigned char> bytes(line.size() + 1);
  size_t length = 0;
  if (!DecodeBase64(line, bytes.data(), bytes.size(), length))
    Fail("%s: line %d: Not base64", path, lineNumber);
  if (length != size)
    Fail("%s: line %d: %zu bytes, not the %zu of %s", path, lineNumber, length, size, what);
  bytes.resize(length);
  return bytes;
}

uint64_t LoadLittleEndian64(const unsigned char* bytes) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i)
    value = value << 8 | bytes[i];
  return value;
}

// BLAKE2b-512 of content, what a prehashed signature signs; libsodium refuses only lengths out of its range.
void Prehash(std::string_view content, unsigned char hash[kPrehashBytes]) {
  // An empty view may have no address at all, which libsodium must not be given.
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(content.empty() ? "" : content.data());
  crypto_generichash(hash, kPrehashBytes, bytes, content.size(), nullptr, 0);
}

// Reads the whole key file at path into text, guarded memory of kKeyFileLimit + 1 bytes, since a key written
// without a passphrase holds its secret in the clear; returns the number of bytes read.
size_t ReadKeyFile(const std::string& path, CSecretBytes& text) {
  struct stat status;
  CDescriptor file(OpenRegularFile(path, status));
  size_t length = 0;
  // Read to the end rather than to the size fstat gave: the file may have grown, and a limit is all that matters.
  while (length < text.Size()) {
    ssize_t count = ReadRetrying(file.Get(), text.Data() + length, text.Size() - length);
    if (count < 0)
      FailErrno(errno, "%s: Cannot read", path.c_str());
    if (count == 0)
      break;
    length += static_cast<size_t>(count);
  }
  if (length > kKeyFileLimit)
    Fail("%s: Too large for a minisign key file (%llu bytes)", path.c_str(),
         static_cast<unsigned long long>(std::max<uint64_t>(length, static_cast<uint64_t>(status.st_size))));
  return length;
}

// kind is "public" or "secret"; reason says what is wrong with line 2.
[[noreturn]] void RefuseKeyLine(const char* path, const char* kind, const std::string& reason) {
  Fail("%s: line 2: Not a minisign %s key (%s)", path, kind, reason.c_str());
}

// Decodes line 2 of the key file text into out, which has room for capacity bytes; it must hold exactly size
// bytes, beginning with the algorithm "Ed". Line 1 must be a comment.
void DecodeKeyLine(std::string_view text, unsigned char* out, size_t capacity, size_t size, const char* path,
                   const char* kind) {
  const std::vector<std::string_view> lines = SplitLines(text);
  if (lines.empty() || !StartsWith(lines[0], kUntrustedPrefix))
    Fail("%s: line 1: Does not begin with \"untrusted comment: \"", path);
  if (lines.size() < 2)
    RefuseKeyLine(path, kind, "no such line");
  size_t length = 0;
  if (!DecodeBase64(lines[1], out, capacity, length))
    RefuseKeyLine(path, kind, "not base64 of " + std::to_string(size) + " bytes");
  if (length != size)
    RefuseKeyLine(path, kind, std::to_string(length) + " bytes, not " + std::to_string(size));
  if (memcmp(out, kKeyAlgorithm, 2) != 0)
    RefuseKeyLine(path, kind, "algorithm " + QuotedBytes(out, 2) + ", not \"Ed\"");
}

// The decoded bytes of the secret key file at path, in guarded memory, with the algorithms that this code can use:
// the checksum BLAKE2b, and scrypt or no key derivation at all.
std::unique_ptr<CSecretBytes> ReadSecretKeyFile(const std::string& path) {
  const char* name = path.c_str();
  CSecretBytes text(kKeyFileLimit + 1);
  const size_t textLength = ReadKeyFile(path, text);
  const std::string_view keyText(reinterpret_cast<const char*>(text.Data()), textLength);
  auto bytes = std::make_unique<CSecretBytes>(textLength + 1);
  DecodeKeyLine(keyText, bytes->Data(), bytes->Size(), kSecretKeyFileBytes, name, "secret");
  const unsigned char* key = bytes->Data();
  if (memcmp(key + kChecksumAlgorithmOffset, kBlake2bChecksum, 2) != 0)
    RefuseKeyLine(name, "secret", "checksum " + QuotedBytes(key + kChecksumAlgorithmOffset, 2) + ", not \"B2\"");
  if (memcmp(key + kDerivationOffset, kScryptDerivation, 2) != 0 &&
      memcmp(key + kDerivationOffset, kNoDerivation, 2) != 0)
    RefuseKeyLine(name, "secret", "key derivation " + QuotedBytes(key + kDerivationOffset, 2) + ", not \"Sc\" or none");
  return bytes;
}

}  // namespace

std::string MinisignKeyIdText(const MinisignKeyId& keyId) {
  char text[17];
  snprintf(text, sizeof text, "%" PRIX64, LoadLittleEndian64(keyId.data()));
  return text;
}

MinisignPublicKey ParseMinisignPublicKey(std::string_view text, const std::string& path) {
  InitialiseSodium();
  // Room for more than a key, so that a longer line is told from one that is not base64.
  unsigned char bytes[2 * kPublicKeyBytes];
  DecodeKeyLine(text, bytes, sizeof bytes, kPublicKeyBytes, path.c_str(), "public");
  MinisignPublicKey key;
  memcpy(key.keyId.data(), bytes + 2, kKeyIdSize);
  memcpy(key.key.data(), bytes + 2 + kKeyIdSize, key.key.size());
  return key;
}

MinisignPublicKey ReadMinisignPublicKey(const std::string& path) {
  InitialiseSodium();
  CSecretBytes text(kKeyFileLimit + 1);
  const size_t length = ReadKeyFile(path, text);
  return ParseMinisignPublicKey(std::string_view(reinterpret_cast<const char*>(text.Data()), length), path);
}

CSecretBytes::CSecretBytes(size_t length) : data(nullptr), size(length) {
  InitialiseSodium();
  data = static_cast<unsigned char*>(sodium_malloc(length));
  if (data == nullptr)
    FailErrno(errno, "Cannot allocate %zu bytes of guarded memory", length);
}

CSecretBytes::~CSecretBytes() {
  sodium_free(data);
}

bool MinisignSecretKeyIsEncrypted(const std::string& path) {
  std::unique_ptr<CSecretBytes> bytes = ReadSecretKeyFile(path);
  return memcmp(bytes->Data() + kDerivationOffset, kScryptDerivation, 2) == 0;
}

CMinisignSecretKey::CMinisignSecretKey(const std::string& path, std::string_view passphrase)
    : secretKey(crypto_sign_SECRETKEYBYTES) {
  const char* name = path.c_str();
  std::unique_ptr<CSecretBytes> bytes = ReadSecretKeyFile(path);
  const unsigned char* key = bytes->Data();
  if (memcmp(key + kDerivationOffset, kScryptDerivation, 2) == 0) {
    const unsigned long long opslimit = LoadLittleEndian64(key + kOpslimitOffset);
    const unsigned long long memlimit = LoadLittleEndian64(key + kMemlimitOffset);
    const size_t encryptedBytes = kSecretKeyFileBytes - kEncryptedOffset;
    CSecretBytes stream(encryptedBytes);
    // An empty view may have no address at all, which libsodium must not be given.
    const char* passphraseBytes = passphrase.empty() ? "" : passphrase.data();
    if (crypto_pwhash_scryptsalsa208sha256(stream.Data(), encryptedBytes, passphraseBytes, passphrase.size(),
                                           key + kSaltOffset, opslimit, static_cast<size_t>(memlimit)) != 0)
      FailErrno(errno, "%s: Cannot derive the key from the passphrase (scrypt, opslimit %llu, memlimit %llu)", name,
                opslimit, memlimit);
    for (size_t i = 0; i < encryptedBytes; ++i)
      bytes->Data()[kEncryptedOffset + i] ^= stream.Data()[i];
    // The checksum covers "Ed", the key id and the secret key, which stand apart in the file.
    CSecretBytes covered(2 + kKeyIdSize + crypto_sign_SECRETKEYBYTES);
    memcpy(covered.Data(), key, 2);
    memcpy(covered.Data() + 2, key + kEncryptedOffset, kKeyIdSize + crypto_sign_SECRETKEYBYTES);
    unsigned char checksum[kChecksumBytes];
    crypto_generichash(checksum, sizeof checksum, covered.Data(), covered.Size(), nullptr, 0);
    const bool right = sodium_memcmp(checksum, key + kChecksumOffset, kChecksumBytes) == 0;
    sodium_memzero(checksum, sizeof checksum);
    if (!right)
      Fail("%s: Wrong passphrase, or a damaged secret key", name);
  }
  // A key stored without a passphrase carries a checksum of zeros, so there is nothing to check it against.
  memcpy(keyId.data(), key + kEncryptedOffset, kKeyIdSize);
  memcpy(secretKey.Data(), key + kSecretKeyOffset, crypto_sign_SECRETKEYBYTES);
}

MinisignPublicKey CMinisignSecretKey::PublicKey() const {
  MinisignPublicKey key;
  key.keyId = keyId;
  crypto_sign_ed25519_sk_to_pk(key.key.data(), secretKey.Data());
  return key;
}

std::string CMinisignSecretKey::Sign(std::string_view content, std::string_view trustedComment) const {
  // A line end would split the comment across lines, and other control characters would reach the terminal of
  // whoever reads the comment; minisign 0.12 refuses them as well.
  for (size_t i = 0; i < trustedComment.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(trustedComment[i]);
    if (byte < 0x20 || byte == 0x7F)
      Fail("Cannot sign with a trusted comment that holds control character 0x%02X (byte %zu)", byte, i);
  }
  unsigned char hash[kPrehashBytes];
  Prehash(content, hash);
  unsigned char signature[kSignatureBytes];
  memcpy(signature, kPrehashedAlgorithm, 2);
  memcpy(signature + 2, keyId.data(), kKeyIdSize);
  unsigned char* signatureOfContent = signature + 2 + kKeyIdSize;
  crypto_sign_detached(signatureOfContent, nullptr, hash, sizeof hash, secretKey.Data());
  // The global signature binds the comment to the content's signature, not to the algorithm or the key id.
  std::string globallySigned(reinterpret_cast<const char*>(signatureOfContent), crypto_sign_BYTES);
  globallySigned += trustedComment;
  unsigned char globalSignature[crypto_sign_BYTES];
  crypto_sign_detached(globalSignature, nullptr, reinterpret_cast<const unsigned char*>(globallySigned.data()),
                       globallySigned.size(), secretKey.Data());
  std::string text(kOwnUntrustedComment);
  text += '\n';
  text += EncodeBase64(signature, sizeof signature);
  text += '\n';
  text += kTrustedPrefix;
  text += trustedComment;
  text += '\n';
  text += EncodeBase64(globalSignature, sizeof globalSignature);
  text += '\n';
  return text;
}

std::string VerifyMinisignSignature(std::string_view signatureText, const std::string& signaturePath,
                                    std::string_view content, const std::vector<MinisignPublicKey>& trustedKeys) {
  InitialiseSodium();
  const char* path = signaturePath.c_str();
  const std::vector<std::string_view> lines = SplitLines(signatureText);
  if (lines.size() != 4)
    Fail("%s: Not a minisign signature: %zu lines, not 4", path, lines.size());
  if (!StartsWith(lines[0], kUntrustedPrefix))
    Fail("%s: line 1: Does not begin with \"untrusted comment: \"", path);
  const std::vector<unsigned char> signature = DecodeSignatureLine(lines[1], path, 2, kSignatureBytes, "a signature");
  if (memcmp(signature.data(), kKeyAlgorithm, 2) == 0)
    Fail("%s: line 2: Legacy signature (algorithm \"Ed\") refused: only prehashed (\"ED\") ones are accepted", path);
  if (memcmp(signature.data(), kPrehashedAlgorithm, 2) != 0)
    Fail("%s: line 2: Unknown signature algorithm %s", path, QuotedBytes(signature.data(), 2).c_str());
  if (!StartsWith(lines[2], kTrustedPrefix))
    Fail("%s: line 3: Does not begin with \"trusted comment: \"", path);
  const std::string_view trustedComment = lines[2].substr(kTrustedPrefix.size());
  const std::vector<unsigned char> globalSignature =
      DecodeSignatureLine(lines[3], path, 4, crypto_sign_BYTES, "a global signature");

  MinisignKeyId keyId;
  memcpy(keyId.data(), signature.data() + 2, kKeyIdSize);
  auto trusted = std::find_if(trustedKeys.begin(), trustedKeys.end(),
                              [&](const MinisignPublicKey& key) { return key.keyId == keyId; });
  if (trusted == trustedKeys.end()) {
    std::string trustedIds;
    for (const MinisignPublicKey& key : trustedKeys)
      trustedIds += (trustedIds.empty() ? "" : ", ") + MinisignKeyIdText(key.keyId);
    Fail("%s: line 2: Signed by key %s, which is not trusted (trusted: %s)", path, MinisignKeyIdText(keyId).c_str(),
         trustedIds.empty() ? "none" : trustedIds.c_str());
  }
  const unsigned char* signatureOfContent = signature.data() + 2 + kKeyIdSize;
  unsigned char hash[kPrehashBytes];
  Prehash(content, hash);
  if (crypto_sign_verify_detached(signatureOfContent, hash, sizeof hash, trusted->key.data()) != 0)
    Fail("%s: line 2: The signature does not match the signed content", path);
  std::string globallySigned(reinterpret_cast<const char*>(signatureOfContent), crypto_sign_BYTES);
  globallySigned += trustedComment;
  if (crypto_sign_verify_detached(globalSignature.data(), reinterpret_cast<const unsigned char*>(globallySigned.data()),
                                  globallySigned.size(), trusted->key.data()) != 0)
    Fail("%s: line 4: The signature of the trusted comment does not match it", path);
  return std::string(trustedComment);
}
