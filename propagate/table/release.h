#ifndef PROPAGATE_TABLE_RELEASE_H_
#define PROPAGATE_TABLE_RELEASE_H_

#include <charconv>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// A signed release: the repository's SHA256SUMS (sha256sum's format: one line for files.txt and one per
// content file) and its minisign signature, whose trusted comment says which product and version it is.

/// The names of the release files in a repository.
extern const char kSha256SumsName[];
extern const char kSignatureName[];

/// True for a product name that stays one word of a release statement: not empty, no blank, no control byte.
bool IsProductName(std::string_view name);
/// The decimal number of text, digits only, when it fits Number.
template <typename Number>
std::optional<Number> ParseDecimalDigits(std::string_view text) {
  Number number = 0;
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
    return std::nullopt;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  return number;
}

/// What a release's signed statement says.
struct ReleaseStatement {
  std::string product;             ///< the product's name: no blank, no control byte, not empty
  uint64_t version = 0;            ///< releases of a product are ordered by it
  std::optional<int64_t> expires;  ///< seconds since 1970 after which no run accepts the release
};

/// The trusted comment of the statement: "propagate-release product=NAME version=N[ expires=S]".
std::string FormatTrustedComment(const ReleaseStatement& statement);
/// The statement of a trusted comment in that form, fields in that order, decimal numbers without sign;
/// "%s: The trusted comment is no propagate release statement: %s" (shown, the reason).
ReleaseStatement ParseTrustedComment(std::string_view text, const std::string& shown);

/// True for a SHA-256 digest as sha256sum writes it: 64 lower-case hexadecimal digits.
bool IsSha256Text(std::string_view digest);
/// SHA-256 digests (64 lower-case hexadecimal digits) by name.
using Sha256Sums = std::map<std::string, std::string>;
/// The SHA256SUMS text of sums, one "<digest>  <name>" line each, in the map's order (files.txt sorts among
/// the content names as its bytes say).
std::string FormatSha256Sums(const Sha256Sums& sums);
/// The sums of a SHA256SUMS text; "%s: line %zu: Not a line of SHA256SUMS" (shown) for a line of another
/// form, "%s: line %zu: %s is listed twice".
Sha256Sums ParseSha256Sums(std::string_view text, const std::string& shown);

/// What the last run recorded of the release it installed.
struct InstalledRelease {
  std::string product;
  uint64_t version = 0;
  std::string sumsDigest;  ///< SHA-256 of its SHA256SUMS
};
/// The record of release, as written beside the installed table.
std::string FormatInstalledRelease(const InstalledRelease& release);
/// The release that text records; nothing when text is no such record.
std::optional<InstalledRelease> ParseInstalledRelease(const std::string& text);

/// The names of the records of the installed release beside the installed table (tableName): the release,
/// and the SHA256SUMS it was checked against.
std::string ReleaseRecordPath(const std::string& tablePath);
std::string ReleaseSumsPath(const std::string& tablePath);

#endif  // PROPAGATE_TABLE_RELEASE_H_
