#ifndef PROPAGATE_TABLE_KNOWN_CONTENT_H_
#define PROPAGATE_TABLE_KNOWN_CONTENT_H_

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sys/examination.h"

// What a run records beside the installed table about the content of installed files: the fingerprints
// that let the next run know a file's content without reading it, and the control sums of the content that
// an unfinished run was installing. Both are shortcuts and reminders, never the truth: whatever they lack or
// cannot be read means that the file is read and summed.

/// What identifies one state of a file's content without reading it. Any write changes the status change
/// time, which nobody but the kernel sets; a replaced file has another inode.
struct Fingerprint {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t mtime = 0;
  int64_t mtimeNanoseconds = 0;
  int64_t ctime = 0;
  int64_t ctimeNanoseconds = 0;
  bool operator==(const Fingerprint& other) const = default;
};

/// The fingerprint of what state describes.
Fingerprint FingerprintOf(const PathState& state);

/// True when a change made to the file at or after takenAt (FileClockNow's) would have moved its status
/// change time: the fingerprint's change time lies a whole timestamp granule before takenAt. A file changed
/// within the granule of the moment its fingerprint was taken may change again without another change time.
bool SettledBefore(const Fingerprint& fingerprint, const struct timespec& takenAt);

/// A file's fingerprint and the control sum (upper case) of its content in that state, with its SHA-256
/// (lower case) when a signed release had it checked.
struct KnownContent {
  Fingerprint fingerprint;
  std::string digest;
  std::string sha256;  ///< empty when not known
};
/// Known contents by file name (as the table gives it, unescaped).
using KnownContents = std::unordered_map<std::string, KnownContent>;

/// The contents to write, by name; a name without content is left out.
using ContentsToWrite = std::unordered_map<std::string_view, const KnownContent*>;
/// The fingerprint file for the base directory whose device and inode are given: a header, one line per
/// name, and an end line that counts them, so that a file cut short is told from a whole one.
std::string FormatFingerprints(uint64_t baseDevice, uint64_t baseInode, const ContentsToWrite& contents);
/// The contents that text records for that base directory; empty when text is not a whole fingerprint file
/// of this format for that very directory (another version, another directory's copy, cut short, damaged).
KnownContents ParseFingerprints(std::string_view text, uint64_t baseDevice, uint64_t baseInode);

/// The control sums, by name, that unfinished runs were installing into files that keep local changes.
using InstallingContents = std::unordered_multimap<std::string, std::string>;
/// The first line of a file of installing contents.
extern const char kInstallingHeader[];
/// The directory, in the base directory, where a run from a mirror keeps what it downloads.
extern const char kDownloadAreaName[];
/// The line that records that a run installs content with digest (either case) into name, line end included.
std::string FormatInstalling(const std::string& name, const std::string& digest);
/// The contents that text records; damaged lines and a last line without end are ignored, and text without
/// the header records nothing.
InstallingContents ParseInstalling(std::string_view text);

#endif  // PROPAGATE_TABLE_KNOWN_CONTENT_H_
