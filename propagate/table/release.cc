#include "table/release.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <vector>

#include "sys/run_error.h"

const char kSha256SumsName[] = "SHA256SUMS";
const char kSignatureName[] = "SHA256SUMS.minisig";

namespace {

const char kStatementWord[] = "propagate-release";

}  // namespace

bool IsSha256Text(std::string_view digest) {
  return digest.size() == 64 && digest.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

bool IsProductName(std::string_view name) {
  if (name.empty())
    return false;
  for (char c : name)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F)
      return false;
  return true;
}

std::string FormatTrustedComment(const ReleaseStatement& statement) {
  std::string text =
      std::string(kStatementWord) + " product=" + statement.product + " version=" + std::to_string(statement.version);
  if (statement.expires)
    text += " expires=" + std::to_string(*statement.expires);
  return text;
}

ReleaseStatement ParseTrustedComment(std::string_view text, const std::string& shown) {
  auto refuse = [&](const char* reason) {
    Fail("%s: The trusted comment is no propagate release statement: %s", shown.c_str(), reason);
  };
  std::vector<std::string_view> words;
  for (size_t start = 0; start <= text.size();) {
    size_t end = text.find(' ', start);
    if (end == std::string_view::npos)
      end = text.size();
    words.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (words.empty() || words[0] != kStatementWord)
    refuse("it does not begin with \"propagate-release \"");
  if (words.size() < 3 || words.size() > 4)
    refuse("it needs product=, version= and at most expires=, one blank apart");
  ReleaseStatement statement;
  auto value = [&](std::string_view word, std::string_view key) {
    if (word.substr(0, key.size()) != key)
      refuse("its fields must be product=, version=, expires=, in that order");
    return word.substr(key.size());
  };
  statement.product = std::string(value(words[1], "product="));
  if (!IsProductName(statement.product))
    refuse("the product name is empty or holds a control byte");
  std::optional<uint64_t> version = ParseDecimalDigits<uint64_t>(value(words[2], "version="));
  if (!version)
    refuse("the version is no unsigned 64-bit decimal number");
  statement.version = *version;
  if (words.size() == 4) {
    statement.expires = ParseDecimalDigits<int64_t>(value(words[3], "expires="));
    if (!statement.expires)
      refuse("expires= is no number of seconds since 1970");
  }
  return statement;
}

std::string FormatSha256Sums(const Sha256Sums& sums) {
  std::string text;
  for (const auto& [name, digest] : sums)
    text += digest + "  " + name + "\n";
  return text;
}

Sha256Sums ParseSha256Sums(std::string_view text, const std::string& shown) {
  Sha256Sums sums;
  size_t number = 0;
  while (!text.empty()) {
    ++number;
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    // sha256sum's own form: the digest, a blank, a blank (text mode) or '*' (binary), the name, which is
    // one word as a product's name is (sha256sum escapes names that are not).
    if (line.size() < 67 || !IsSha256Text(line.substr(0, 64)) || line[64] != ' ' ||
        (line[65] != ' ' && line[65] != '*') || !IsProductName(line.substr(66)))
      Fail("%s: line %zu: Not a line of SHA256SUMS", shown.c_str(), number);
    std::string name(line.substr(66));
    if (!sums.emplace(name, std::string(line.substr(0, 64))).second)
      Fail("%s: line %zu: %s is listed twice", shown.c_str(), number, name.c_str());
  }
  return sums;
}

std::string FormatInstalledRelease(const InstalledRelease& release) {
  return "product=" + release.product + "\nversion=" + std::to_string(release.version) +
         "\nsha256sums=" + release.sumsDigest + "\n";
}

std::optional<InstalledRelease> ParseInstalledRelease(const std::string& text) {
  InstalledRelease release;
  size_t start = 0;
  int fields = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      return std::nullopt;
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const size_t equals = line.find('=');
    if (equals == std::string::npos)
      return std::nullopt;
    const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    if (key == "product" && !value.empty()) {
      release.product = value;
    } else if (key == "version" && !value.empty() && value.find_first_not_of("0123456789") == std::string::npos) {
      errno = 0;
      release.version = strtoull(value.c_str(), nullptr, 10);
      if (errno != 0)
        return std::nullopt;
    } else if (key == "sha256sums" && value.size() == 64) {
      release.sumsDigest = value;
    } else {
      return std::nullopt;
    }
    ++fields;
  }
  if (fields != 3 || release.product.empty() || release.sumsDigest.empty())
    return std::nullopt;
  return release;
}

std::string ReleaseRecordPath(const std::string& tablePath) {
  return tablePath + ".release";
}

std::string ReleaseSumsPath(const std::string& tablePath) {
  return tablePath + ".sha256sums";
}
