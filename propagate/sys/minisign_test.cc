#include "sys/minisign.h"

#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "sys/test_support.h"

namespace {

std::string Base64(const std::string& bytes) {
  std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  text.pop_back();
  return text;
}

std::string Unbase64(const std::string& text) {
  std::string bytes(text.size(), '\0');
  size_t length = 0;
  EXPECT_EQ(0, sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(), text.size(),
                                 nullptr, &length, nullptr, sodium_base64_VARIANT_ORIGINAL));
  bytes.resize(length);
  return bytes;
}

std::string Bytes(const unsigned char* bytes, size_t count) {
  return std::string(reinterpret_cast<const char*>(bytes), count);
}

std::string LittleEndian64(uint64_t value) {
  std::string bytes;
  for (int i = 0; i < 8; ++i)
    bytes += static_cast<char>(value >> (8 * i));
  return bytes;
}

// A key pair written the way minisign writes it, independently of the code under test. An empty passphrase
// stores the secret key unencrypted, as minisign -G -W does; otherwise scrypt runs with its smallest limits,
// which minisign reads from the file like any others.
void WriteKeyPair(const std::string& publicPath, const std::string& secretPath, const MinisignKeyId& id,
                  const std::string& passphrase) {
  EXPECT_GE(sodium_init(), 0);
  unsigned char publicKey[crypto_sign_PUBLICKEYBYTES], secretKey[crypto_sign_SECRETKEYBYTES];
  crypto_sign_keypair(publicKey, secretKey);
  const std::string keyId = Bytes(id.data(), id.size());
  std::string secret = "Ed" + keyId + Bytes(secretKey, sizeof secretKey);
  std::string head = "Ed";
  if (passphrase.empty()) {
    head += std::string(2, '\0') + "B2" + std::string(32 + 8 + 8, '\0');
    secret += std::string(32, '\0');
  } else {
    unsigned char salt[crypto_pwhash_scryptsalsa208sha256_SALTBYTES];
    randombytes_buf(salt, sizeof salt);
    const uint64_t opslimit = crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_MIN;
    const uint64_t memlimit = crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_MIN;
    head += "ScB2" + Bytes(salt, sizeof salt) + LittleEndian64(opslimit) + LittleEndian64(memlimit);
    unsigned char checksum[32];
    crypto_generichash(checksum, sizeof checksum, reinterpret_cast<const unsigned char*>(secret.data()), secret.size(),
                       nullptr, 0);
    secret += Bytes(checksum, sizeof checksum);
    unsigned char stream[104];
    EXPECT_EQ(0, crypto_pwhash_scryptsalsa208sha256(stream, sizeof stream, passphrase.data(), passphrase.size(), salt,
                                                    opslimit, memlimit));
    for (size_t i = 0; i < sizeof stream; ++i)
      secret[2 + i] = static_cast<char>(secret[2 + i] ^ stream[i]);
  }
  WriteFile(publicPath, "untrusted comment: minisign public key " + MinisignKeyIdText(id) + "\n" +
                            Base64("Ed" + keyId + Bytes(publicKey, sizeof publicKey)) + "\n");
  WriteFile(secretPath, "untrusted comment: minisign encrypted secret key\n" + Base64(head + secret.substr(2)) + "\n");
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

std::string Join(const std::vector<std::string>& lines, const char* end = "\n") {
  std::string text;
  for (const std::string& line : lines)
    text += line + end;
  return text;
}

// Line 2 of a signature with its bytes from offset replaced by replacement.
std::string Patched(const std::string& base64Line, size_t offset, const std::string& replacement) {
  std::string bytes = Unbase64(base64Line);
  bytes.replace(offset, replacement.size(), replacement);
  return Base64(bytes);
}

// Line 2 of a signature with one bit of its byte at offset changed.
std::string Flipped(const std::string& base64Line, size_t offset) {
  std::string bytes = Unbase64(base64Line);
  bytes[offset] = static_cast<char>(bytes[offset] ^ 1);
  return Base64(bytes);
}

bool HaveMinisign() {
  return std::system("command -v minisign >/dev/null 2>&1") == 0;
}

// The exit status of the shell command, or -1 when it did not exit.
int RunShell(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quoted(const std::string& path) {
  return "'" + path + "'";
}

// Bytes of every value, so that no text handling can pass unnoticed.
std::string Payload() {
  std::string bytes;
  for (int i = 0; i < 70000; ++i)
    bytes += static_cast<char>((i * 7919) >> 3);
  return bytes;
}

}  // namespace

TEST(Minisign, KeyIdTextIsMinisignsLittleEndianHexadecimal) {
  struct Case {
    MinisignKeyId keyId;
    const char* text;
  } cases[] = {
      {{0x33, 0x74, 0x4C, 0x57, 0xEA, 0xAA, 0xD4, 0x84}, "84D4AAEA574C7433"},  // printed by minisign 0.11 -G
      {{0x01, 0, 0, 0, 0, 0, 0, 0}, "1"},
      {{0, 0, 0, 0, 0, 0, 0, 0x0A}, "A00000000000000"},
      {{0, 0, 0, 0, 0, 0, 0, 0}, "0"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.text, MinisignKeyIdText(c.keyId));
}

TEST(Minisign, OwnKeysSignAndVerify) {
  TempDir dir;
  for (const std::string passphrase : {"", "correct horse"}) {
    const MinisignKeyId id = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    WriteKeyPair(dir / "k.pub", dir / "k.key", id, passphrase);
    const MinisignPublicKey publicKey = ReadMinisignPublicKey(dir / "k.pub");
    EXPECT_EQ(!passphrase.empty(), MinisignSecretKeyIsEncrypted(dir / "k.key"));
    CMinisignSecretKey secretKey(dir / "k.key", passphrase);
    EXPECT_EQ(id, publicKey.keyId);
    EXPECT_EQ(id, secretKey.KeyId());
    EXPECT_EQ(publicKey.key, secretKey.PublicKey().key);
    const std::string signature = secretKey.Sign(Payload(), "velmira 1.2 \xC3\xA9t\xC3\xA9");
    const std::vector<std::string> lines = Lines(signature);
    ASSERT_EQ(4u, lines.size()) << signature;
    EXPECT_EQ("untrusted comment: signature from propagate secret key", lines[0]);
    EXPECT_EQ("ED" + Bytes(id.data(), 8), Unbase64(lines[1]).substr(0, 10));
    EXPECT_EQ("trusted comment: velmira 1.2 \xC3\xA9t\xC3\xA9", lines[2]);
    EXPECT_EQ("velmira 1.2 \xC3\xA9t\xC3\xA9", VerifyMinisignSignature(signature, "s", Payload(), {publicKey}));
    EXPECT_EQ("Cannot sign with a trusted comment that holds control character 0x0A (byte 1)",
              ErrorOf([&] { secretKey.Sign("", "a\nb"); }));
  }
}

TEST(Minisign, KeyFileRefusals) {
  TempDir dir;
  WriteKeyPair(dir / "good.pub", dir / "good.key", {0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18}, "right");
  const std::vector<std::string> publicLines = Lines(ReadFile(dir / "good.pub"));
  const std::vector<std::string> secretLines = Lines(ReadFile(dir / "good.key"));
  const std::string comment = secretLines[0];
  const std::string P = dir / "k.pub", K = dir / "k.key";
  struct Case {
    bool secret;
    std::string content;
    std::string passphrase;
    std::string expected;
  } cases[] = {
      {false, "", "", P + ": line 1: Does not begin with \"untrusted comment: \""},
      {false, publicLines[1] + "\n", "", P + ": line 1: Does not begin with \"untrusted comment: \""},
      {false, comment + "\n", "", P + ": line 2: Not a minisign public key (no such line)"},
      {false, comment + "\n%%%%\n", "", P + ": line 2: Not a minisign public key (not base64 of 42 bytes)"},
      {false, comment + "\n" + Base64(std::string(41, 'E')) + "\n", "",
       P + ": line 2: Not a minisign public key (41 bytes, not 42)"},
      {false, comment + "\n" + Patched(publicLines[1], 0, "ED") + "\n", "",
       P + ": line 2: Not a minisign public key (algorithm \"ED\", not \"Ed\")"},
      {true, Join(secretLines), "wrong", K + ": Wrong passphrase, or a damaged secret key"},
      {true, Join(secretLines), "", K + ": Wrong passphrase, or a damaged secret key"},
      {true, comment + "\n" + Flipped(secretLines[1], 100) + "\n", "right",
       K + ": Wrong passphrase, or a damaged secret key"},
      {true, comment + "\n" + Base64(Unbase64(secretLines[1]).substr(1)) + "\n", "right",
       K + ": line 2: Not a minisign secret key (157 bytes, not 158)"},
      {true, comment + "\n" + Patched(secretLines[1], 2, "Xy") + "\n", "right",
       K + ": line 2: Not a minisign secret key (key derivation \"Xy\", not \"Sc\" or none)"},
      {true, comment + "\n" + Patched(secretLines[1], 4, std::string("\x00\n", 2)) + "\n", "right",
       K + ": line 2: Not a minisign secret key (checksum \"\\x00\\x0A\", not \"B2\")"},
  };
  for (const Case& c : cases) {
    const std::string& path = c.secret ? K : P;
    WriteFile(path, c.content);
    EXPECT_EQ(c.expected, ErrorOf([&] {
                if (c.secret)
                  CMinisignSecretKey(path, c.passphrase);
                else
                  ReadMinisignPublicKey(path);
              }))
        << c.content;
    // Whether a passphrase is needed is told only of a key that could be decrypted with one.
    if (c.secret && c.expected.find(": line ") != std::string::npos) {
      EXPECT_EQ(c.expected, ErrorOf([&] { MinisignSecretKeyIsEncrypted(path); })) << c.content;
    }
  }
  EXPECT_EQ(dir / "none.pub" + ": Cannot open: " + strerror(ENOENT),
            ErrorOf([&] { ReadMinisignPublicKey(dir / "none.pub"); }));
  WriteFile(P, comment + "\n" + std::string(9000, 'A') + "\n");
  EXPECT_EQ(P + ": Too large for a minisign key file (9050 bytes)", ErrorOf([&] { ReadMinisignPublicKey(P); }));
}

TEST(Minisign, SignatureRefusals) {
  TempDir dir;
  WriteKeyPair(dir / "a.pub", dir / "a.key", {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8}, "");
  WriteKeyPair(dir / "b.pub", dir / "b.key", {0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0x00}, "");
  const std::vector<MinisignPublicKey> trusted = {ReadMinisignPublicKey(dir / "a.pub")};
  const std::string content = "release 1.2\n";
  const std::vector<std::string> L = Lines(CMinisignSecretKey(dir / "a.key", "").Sign(content, "velmira 1.2"));
  const std::vector<std::string> B = Lines(CMinisignSecretKey(dir / "b.key", "").Sign(content, "velmira 1.2"));
  const std::vector<std::string> E = Lines(CMinisignSecretKey(dir / "a.key", "").Sign(content, ""));
  const std::string S = "repo/files.txt.minisig";
  struct Case {
    std::string signature;
    std::string content;
    std::string expected;
  } cases[] = {
      {Join(L), content, "velmira 1.2"},
      {Join(L, "\r\n"), content, "velmira 1.2"},
      {Join(L).substr(0, Join(L).size() - 1), content, "velmira 1.2"},
      {Join(E), content, ""},
      {Join({L[0], L[1], L[2]}), content, S + ": Not a minisign signature: 3 lines, not 4"},
      {Join(L) + "\n", content, S + ": Not a minisign signature: 5 lines, not 4"},
      {Join({"untrusted comment:", L[1], L[2], L[3]}), content,
       S + ": line 1: Does not begin with \"untrusted comment: \""},
      {Join({L[0], L[1] + "!", L[2], L[3]}), content, S + ": line 2: Not base64"},
      {Join({L[0], Base64(Unbase64(L[1]) + "x"), L[2], L[3]}), content,
       S + ": line 2: 75 bytes, not the 74 of a signature"},
      {Join({L[0], Patched(L[1], 0, "Ed"), L[2], L[3]}), content,
       S + ": line 2: Legacy signature (algorithm \"Ed\") refused: only prehashed (\"ED\") ones are accepted"},
      {Join({L[0], Patched(L[1], 0, "E\x01"), L[2], L[3]}), content,
       S + ": line 2: Unknown signature algorithm \"E\\x01\""},
      {Join({L[0], L[1], "Trusted comment: velmira 1.2", L[3]}), content,
       S + ": line 3: Does not begin with \"trusted comment: \""},
      {Join({L[0], L[1], L[2], L[3].substr(1)}), content, S + ": line 4: Not base64"},
      {Join({L[0], L[1], L[2], Base64(Unbase64(L[3]).substr(1))}), content,
       S + ": line 4: 63 bytes, not the 64 of a global signature"},
      {Join(B), content,
       S + ": line 2: Signed by key B7B6B5B4B3B2B1, which is not trusted (trusted: A8A7A6A5A4A3A2A1)"},
      {Join(L), "release 1.3\n", S + ": line 2: The signature does not match the signed content"},
      {Join({L[0], Flipped(L[1], 20), L[2], L[3]}), content,
       S + ": line 2: The signature does not match the signed content"},
      {Join({L[0], L[1], "trusted comment: velmira 1.3", L[3]}), content,
       S + ": line 4: The signature of the trusted comment does not match it"},
      {Join({L[0], L[1], L[2], E[3]}), content, S + ": line 4: The signature of the trusted comment does not match it"},
      // The global signature does not cover the key id: another trusted key's id over these signatures fails too.
      {Join({L[0], Patched(L[1], 2, Unbase64(B[1]).substr(2, 8)), L[2], L[3]}), content,
       S + ": line 2: The signature does not match the signed content"},
  };
  std::vector<MinisignPublicKey> both = trusted;
  both.push_back(ReadMinisignPublicKey(dir / "b.pub"));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const std::vector<MinisignPublicKey>& keys = i + 1 == std::size(cases) ? both : trusted;
    std::string result;
    std::string error = ErrorOf([&] { result = VerifyMinisignSignature(c.signature, S, c.content, keys); });
    EXPECT_EQ(c.expected, error == "(no error)" ? result : error) << "row " << i << ":\n" << c.signature;
  }
  EXPECT_EQ(S + ": line 2: Signed by key A8A7A6A5A4A3A2A1, which is not trusted (trusted: none)",
            ErrorOf([&] { VerifyMinisignSignature(Join(L), S, content, {}); }));
}

TEST(Minisign, UnencryptedKeyFromMinisignBothWays) {
  if (!HaveMinisign())
    GTEST_SKIP() << "minisign is not installed";
  TempDir dir;
  const std::string pub = dir / "k.pub", key = dir / "k.key", payload = dir / "payload", out = dir / "out";
  ASSERT_EQ(0, RunShell("minisign -G -W -p " + Quoted(pub) + " -s " + Quoted(key) + " </dev/null >/dev/null"));
  const MinisignPublicKey publicKey = ReadMinisignPublicKey(pub);
  EXPECT_EQ("untrusted comment: minisign public key " + MinisignKeyIdText(publicKey.keyId), Lines(ReadFile(pub))[0]);
  CMinisignSecretKey secretKey(key, "");
  EXPECT_EQ(publicKey.keyId, secretKey.KeyId());
  EXPECT_EQ(publicKey.key, secretKey.PublicKey().key);

  WriteFile(payload, Payload());
  ASSERT_EQ(0, RunShell("minisign -Sm " + Quoted(payload) + " -s " + Quoted(key) +
                        " -t 'from minisign' </dev/null >/dev/null"));
  EXPECT_EQ("from minisign",
            VerifyMinisignSignature(ReadFile(payload + ".minisig"), payload + ".minisig", Payload(), {publicKey}));

  WriteFile(payload + ".minisig", secretKey.Sign(Payload(), "from propagate"));
  EXPECT_EQ(0, RunShell("minisign -Vm " + Quoted(payload) + " -p " + Quoted(pub) + " >" + Quoted(out) + " 2>&1"));
  EXPECT_NE(std::string::npos, ReadFile(out).find("Trusted comment: from propagate\n")) << ReadFile(out);
  WriteFile(payload, Payload() + "x");
  EXPECT_NE(0, RunShell("minisign -Vm " + Quoted(payload) + " -p " + Quoted(pub) + " >/dev/null 2>&1"));
}

TEST(Minisign, EncryptedKeysWithMinisign) {
  if (!HaveMinisign())
    GTEST_SKIP() << "minisign is not installed";
  TempDir dir;
  const std::string payload = dir / "payload", out = dir / "out";
  WriteFile(payload, Payload());
  // minisign reads the password from standard input when that is no terminal, once per line asked.
  ASSERT_EQ(0, RunShell("printf 'pass phrase\\npass phrase\\n' | minisign -G -p " + Quoted(dir / "m.pub") + " -s " +
                        Quoted(dir / "m.key") + " >/dev/null 2>&1"));
  CMinisignSecretKey minisignsKey(dir / "m.key", "pass phrase");
  EXPECT_EQ(ReadMinisignPublicKey(dir / "m.pub").key, minisignsKey.PublicKey().key);
  WriteFile(payload + ".minisig", minisignsKey.Sign(Payload(), "with minisign's encrypted key"));
  EXPECT_EQ(
      0, RunShell("minisign -Vm " + Quoted(payload) + " -p " + Quoted(dir / "m.pub") + " >" + Quoted(out) + " 2>&1"));
  EXPECT_NE(std::string::npos, ReadFile(out).find("Trusted comment: with minisign's encrypted key\n")) << ReadFile(out);

  // The other way: a key encrypted as this test writes it, which minisign must decrypt with the same passphrase.
  const MinisignKeyId id = {0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28};
  WriteKeyPair(dir / "o.pub", dir / "o.key", id, "other");
  EXPECT_EQ(id, CMinisignSecretKey(dir / "o.key", "other").KeyId());
  ASSERT_EQ(0, RunShell("printf 'other\\n' | minisign -Sm " + Quoted(payload) + " -s " + Quoted(dir / "o.key") +
                        " -t 'signed by minisign' >/dev/null 2>&1"));
  EXPECT_EQ("signed by minisign", VerifyMinisignSignature(ReadFile(payload + ".minisig"), payload + ".minisig",
                                                          Payload(), {ReadMinisignPublicKey(dir / "o.pub")}));
  EXPECT_NE(0, RunShell("printf 'wrong\\n' | minisign -Sm " + Quoted(payload) + " -s " + Quoted(dir / "o.key") +
                        " >/dev/null 2>&1"));
}
