#ifndef PROPAGATE_SYS_MINISIGN_H_
#define PROPAGATE_SYS_MINISIGN_H_

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

/// The 8 random bytes that name a minisign key pair, as they stand in its files.
using MinisignKeyId = std::array<unsigned char, 8>;

/// A public key as minisign writes it: its key id and the Ed25519 public key.
struct MinisignPublicKey {
  MinisignKeyId keyId{};                ///< the key pair's id
  std::array<unsigned char, 32> key{};  ///< the Ed25519 public key
};

/// The key id as minisign 0.11 prints it: its bytes read as a little-endian integer, in upper-case hexadecimal
/// without leading zeros.
std::string MinisignKeyIdText(const MinisignKeyId& keyId);

/// The public key in text, the content of the file at path: an untrusted comment line, then the base64 of "Ed",
/// the key id and the key; later lines are ignored. "%s: line 1: Does not begin with \"untrusted comment: \"",
/// "%s: line 2: Not a minisign public key (...)" with the reason.
MinisignPublicKey ParseMinisignPublicKey(std::string_view text, const std::string& path);
/// ParseMinisignPublicKey of the regular file at path; also "%s: Cannot open: %s", "%s: Cannot read: %s",
/// "%s: Too large for a minisign key file (%llu bytes)".
MinisignPublicKey ReadMinisignPublicKey(const std::string& path);

/// Bytes in libsodium's guarded memory (sodium_malloc): kept out of swap, fenced by guard pages, zeroed when
/// freed.
class CSecretBytes {
 public:
  /// Allocates length bytes; "Cannot allocate %zu bytes of guarded memory: %s" when refused.
  explicit CSecretBytes(size_t length);
  /// Zeroes and frees the bytes.
  ~CSecretBytes();
  CSecretBytes(const CSecretBytes&) = delete;
  CSecretBytes& operator=(const CSecretBytes&) = delete;

  /// Address of the bytes.
  unsigned char* Data() const { return data; }
  /// Number of bytes allocated.
  size_t Size() const { return size; }

 private:
  unsigned char* data;
  size_t size;
};

/// True when the secret key file at path is encrypted with a passphrase, false when minisign wrote it without one (-W);
/// refuses what CMinisignSecretKey refuses before it decrypts, in the same words.
bool MinisignSecretKeyIsEncrypted(const std::string& path);

/// A minisign secret key, decrypted, held in guarded memory for the object's lifetime.
class CMinisignSecretKey {
 public:
  /// Reads the secret key file at path (as ReadMinisignPublicKey reads, "secret" for "public"). An encrypted key
  /// is decrypted with passphrase: "%s: Wrong passphrase, or a damaged secret key", "%s: Cannot derive the key
  /// from the passphrase (scrypt, opslimit %llu, memlimit %llu): %s"; the passphrase of a key that minisign
  /// wrote without one (-W) is not used.
  CMinisignSecretKey(const std::string& path, std::string_view passphrase);

  /// The key pair's id.
  const MinisignKeyId& KeyId() const { return keyId; }
  /// The public key of the pair.
  MinisignPublicKey PublicKey() const;
  /// The four lines of the .minisig file, as minisign -S writes them, of a prehashed signature ("ED") of content
  /// with trustedComment. "Cannot sign with a trusted comment that holds control character 0x%02X (byte %zu)".
  std::string Sign(std::string_view content, std::string_view trustedComment) const;

 private:
  CSecretBytes secretKey;
  MinisignKeyId keyId{};
};

/// Checks signatureText, the content of the .minisig file at signaturePath, as a prehashed signature of content
/// by one of trustedKeys, and returns its trusted comment's text, which the signature covers and which may hold
/// control characters: escape it before printing it. Lines end at LF and are cut at their first CR. Refusals,
/// each naming the path: "%s: Not a minisign signature: %zu lines, not 4", "%s: line 1: Does not begin with
/// \"untrusted comment: \"", "%s: line 2: Not base64", "%s: line 2: %zu bytes, not the 74 of a signature",
/// "%s: line 2: Legacy signature (algorithm \"Ed\") refused: ...", "%s: line 2: Unknown signature algorithm %s",
/// "%s: line 3: Does not begin with \"trusted comment: \"", line 4's base64 and length as line 2's, "%s: line 2:
/// Signed by key %s, which is not trusted (trusted: %s)", "%s: line 2: The signature does not match the signed
/// content", "%s: line 4: The signature of the trusted comment does not match it".
std::string VerifyMinisignSignature(std::string_view signatureText, const std::string& signaturePath,
                                    std::string_view content, const std::vector<MinisignPublicKey>& trustedKeys);

#endif  // PROPAGATE_SYS_MINISIGN_H_
