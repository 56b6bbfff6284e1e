#include "table/known_content.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>

#include "table/release.h"
#include "table/table_parser.h"

namespace {

const char kFingerprintsHeader[] = "propagate-fingerprints 2";

/// Cuts the next blank-separated token off text; empty when none is left.
std::string_view NextToken(std::string_view& text) {
  size_t end = text.find(' ');
  std::string_view token = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  return token;
}

template <typename Number>
bool ParseField(std::string_view& text, Number& number) {
  std::string_view token = NextToken(text);
  auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), number);
  return error == std::errc() && end == token.data() + token.size() && !token.empty();
}

bool IsDigest(std::string_view token) {
  if (token.size() != 32)
    return false;
  for (char c : token)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
      return false;
  return true;
}

/// The next line of text without its line feed; false when no whole line is left.
bool NextLine(std::string_view& text, std::string_view& line) {
  size_t end = text.find('\n');
  if (end == std::string_view::npos)
    return false;
  line = text.substr(0, end);
  text.remove_prefix(end + 1);
  return true;
}

/// digest in upper case, as control sums are written.
std::string UpperCase(std::string digest) {
  for (char& c : digest)
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  return digest;
}

}  // namespace

Fingerprint FingerprintOf(const PathState& state) {
  Fingerprint fingerprint;
  fingerprint.device = state.device;
  fingerprint.inode = state.inode;
  fingerprint.size = state.size;
  fingerprint.mtime = state.mtime;
  fingerprint.mtimeNanoseconds = state.mtimeNanoseconds;
  fingerprint.ctime = state.ctime;
  fingerprint.ctimeNanoseconds = state.ctimeNanoseconds;
  return fingerprint;
}

bool SettledBefore(const Fingerprint& fingerprint, const struct timespec& takenAt) {
  // A file system keeps times to its own granule, which nothing tells; the trailing zeros of the time
  // kept give a granule at least as coarse, and two of them cover granules such as two seconds.
  int64_t granule = 1;
  if (fingerprint.ctimeNanoseconds == 0) {
    granule = 1000000000;
  } else {
    while (fingerprint.ctimeNanoseconds % (granule * 10) == 0)
      granule *= 10;
  }
  const int64_t nanoseconds = fingerprint.ctimeNanoseconds + 2 * granule;
  const int64_t seconds = fingerprint.ctime + nanoseconds / 1000000000;
  if (seconds != takenAt.tv_sec)
    return seconds < takenAt.tv_sec;
  return nanoseconds % 1000000000 <= takenAt.tv_nsec;
}

std::string FormatFingerprints(uint64_t baseDevice, uint64_t baseInode, const ContentsToWrite& contents) {
  std::string text =
      std::string(kFingerprintsHeader) + " " + std::to_string(baseDevice) + " " + std::to_string(baseInode) + "\n";
  text.reserve(contents.size() * 128);
  char numbers[200];
  size_t count = 0;
  for (const auto& [name, known] : contents) {
    if (!known)
      continue;
    const Fingerprint& print = known->fingerprint;
    snprintf(numbers, sizeof numbers,
             "%" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRId64 " %" PRId64 " %" PRId64 " %" PRId64 " ", print.device,
             print.inode, print.size, print.mtime, print.mtimeNanoseconds, print.ctime, print.ctimeNanoseconds);
    text += numbers;
    text += UpperCase(known->digest);
    text += ' ';
    text += known->sha256.empty() ? std::string("-") : known->sha256;
    text += ' ';
    text += Escape(name);
    text += '\n';
    ++count;
  }
  text += "end " + std::to_string(count) + "\n";
  return text;
}

KnownContents ParseFingerprints(std::string_view text, uint64_t baseDevice, uint64_t baseInode) {
  std::string_view line;
  const std::string header =
      std::string(kFingerprintsHeader) + " " + std::to_string(baseDevice) + " " + std::to_string(baseInode);
  if (!NextLine(text, line) || line != header)
    return {};
  KnownContents contents;
  contents.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')));
  while (NextLine(text, line)) {
    if (line.substr(0, 4) == "end ") {
      line.remove_prefix(4);
      size_t count = 0;
      if (!ParseField(line, count) || count != contents.size() || !text.empty())
        return {};
      return contents;
    }
    KnownContent known;
    Fingerprint& print = known.fingerprint;
    if (!ParseField(line, print.device) || !ParseField(line, print.inode) || !ParseField(line, print.size) ||
        !ParseField(line, print.mtime) || !ParseField(line, print.mtimeNanoseconds) || !ParseField(line, print.ctime) ||
        !ParseField(line, print.ctimeNanoseconds))
      return {};
    std::string_view digest = NextToken(line);
    std::string_view sha256 = NextToken(line);
    if (!IsDigest(digest) || !(sha256 == "-" || IsSha256Text(sha256)) || line.empty() ||
        line.find(' ') != std::string_view::npos)
      return {};
    known.digest = digest;
    if (sha256 != "-")
      known.sha256 = sha256;
    contents.insert_or_assign(Unescape(line), std::move(known));
  }
  return {};  // no end line: cut short
}

const char kInstallingHeader[] = "propagate-installing 1\n";
const char kDownloadAreaName[] = ".propagate-download";

std::string FormatInstalling(const std::string& name, const std::string& digest) {
  return UpperCase(digest) + " " + Escape(name) + "\n";
}

InstallingContents ParseInstalling(std::string_view text) {
  InstallingContents contents;
  const std::string_view header(kInstallingHeader);
  if (text.substr(0, header.size()) != header)
    return contents;
  text.remove_prefix(header.size());
  std::string_view line;
  while (NextLine(text, line)) {
    std::string_view digest = NextToken(line);
    if (!IsDigest(digest) || line.empty() || line.find(' ') != std::string_view::npos)
      continue;
    contents.emplace(Unescape(line), std::string(digest));
  }
  return contents;
}
