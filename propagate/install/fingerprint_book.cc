#include "install/fingerprint_book.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "sys/descriptor.h"
#include "sys/mapped_file.h"
#include "sys/run_error.h"
#include "table/table_parser.h"

namespace {

/// What the records beside the table are written with: readable by this user alone, since they hold the
/// control sums of locally edited files, which could give away short secrets.
CopyAttributes OwnRecordAttributes() {
  CopyAttributes attributes;
  attributes.user = geteuid();
  attributes.group = getegid();
  attributes.mode = 0600;
  return attributes;
}

}  // namespace

CFingerprintBook::CFingerprintBook(const std::string& tablePath, int base, bool ignoreFingerprints,
                                   std::string_view appliedTable)
    : fingerprintPath(tablePath + ".fingerprints"),
      installingPath(tablePath + ".installing"),
      appliedTable(appliedTable) {
  struct stat status;
  if (base >= 0 && fstat(base, &status) == 0) {
    baseDevice = status.st_dev;
    baseInode = status.st_ino;
    bool exists = false;
    if (!ignoreFingerprints)
      loaded = ParseFingerprints(ReadPrivateRecord(fingerprintPath, exists), baseDevice, baseInode);
    installing = ParseInstalling(ReadPrivateRecord(installingPath, installingExists));
  }
}

const KnownContent* CFingerprintBook::Known(const std::string& name, const PathState& present) const {
  if (!present.exists || !S_ISREG(present.mode))
    return nullptr;
  auto found = loaded.find(name);
  if (found == loaded.end() || !(found->second.fingerprint == FingerprintOf(present)))
    return nullptr;
  return &found->second;
}

bool CFingerprintBook::WasInstalling(const std::string& name, const std::string& digest) const {
  auto [first, last] = installing.equal_range(name);
  for (auto entry = first; entry != last; ++entry)
    if (strcasecmp(entry->second.c_str(), digest.c_str()) == 0)
      return true;
  return false;
}

void CFingerprintBook::Installing(const std::string& name, const std::string& digest) {
  std::lock_guard<std::mutex> hold(lock);
  if (appliedTableRecorded)
    return;
  if (installingText.empty()) {
    // What earlier unfinished runs were installing may still be in place: it stays recorded.
    installingText = kInstallingHeader;
    for (const auto& [installedName, installedDigest] : installing)
      installingText += FormatInstalling(installedName, installedDigest);
  }
  installingText += FormatInstalling(name, digest);
  if (!appliedTable.empty()) {
    // One flush for the whole run rather than one per file: the applied table is read once more instead.
    CTableParser parser;
    CLineCursor lines(appliedTable);
    TableEntry entry;
    try {
      for (std::string line; lines.Next(line) && parser.ParseLine(line, entry);)
        if (entry.kind == EntryKind::File && entry.file.keepLocalChanges)
          installingText += FormatInstalling(entry.name, entry.file.digest);
    } catch (const RunError&) {
      // The run meets the damaged line itself, after the records before it: those are recorded.
    }
    appliedTableRecorded = true;
  }
  // Written whole and renamed into place: a crash leaves the old record or the new one, never half of one.
  InstallBytes(installingText, installingPath, OwnRecordAttributes());
  installingExists = true;
}

void CFingerprintBook::Found(const std::string& name, const PathState& present, const std::string& digest,
                             const std::string& sha256, const struct timespec& takenAt) {
  KnownContent known{FingerprintOf(present), digest, sha256};
  auto loadedEntry = loaded.find(name);
  // A proved entry that gains its SHA-256 is new to the record: the file must be written again.
  const bool proved = loadedEntry != loaded.end() && loadedEntry->second.fingerprint == known.fingerprint &&
                      loadedEntry->second.sha256 == sha256;
  if (!proved && !SettledBefore(known.fingerprint, takenAt) &&
      !(loadedEntry != loaded.end() && loadedEntry->second.fingerprint == known.fingerprint))
    return;
  std::lock_guard<std::mutex> hold(lock);
  if (proved)
    ++provedCount;
  found.emplace_back(name, std::move(known));
}

void CFingerprintBook::Changed(const std::string& name, const PathState& installed, const std::string& digest,
                               const std::string& sha256) {
  std::lock_guard<std::mutex> hold(lock);
  changed.emplace_back(name, KnownContent{FingerprintOf(installed), digest, sha256});
}

void CFingerprintBook::Write() {
  std::lock_guard<std::mutex> hold(lock);
  // A run that found every recorded file as recorded, and changed none, would write the same record again.
  if (changed.empty() && found.size() == provedCount && provedCount == loaded.size())
    return;
  // No more look-ups come: the memory goes to the new record.
  KnownContents().swap(loaded);
  ContentsToWrite contents;
  contents.reserve(found.size() + changed.size());
  for (const auto& [name, known] : found)
    contents[name] = &known;
  // What the run changed was examined right after its change, when the clock had not yet moved on; now,
  // at least a granule later, any change made since that look has moved the change time off the
  // fingerprint, and the next run sees it. One made within the granule of the look could not.
  const struct timespec takenAt = FileClockNow();
  for (const auto& [name, known] : changed)
    contents[name] = known.fingerprint.inode != 0 && SettledBefore(known.fingerprint, takenAt) ? &known : nullptr;
  InstallBytes(FormatFingerprints(baseDevice, baseInode, contents), fingerprintPath, OwnRecordAttributes());
}

void CFingerprintBook::Complete() {
  std::lock_guard<std::mutex> hold(lock);
  // The run is over and its table installed: a record that cannot be removed only makes the next run
  // replace a kept file that holds one of this table's contents, which it is.
  if (installingExists)
    unlink(installingPath.c_str());
  installingExists = false;
}
