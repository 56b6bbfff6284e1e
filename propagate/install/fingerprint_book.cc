#include "install/fingerprint_book.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "sys/mapped_file.h"
#include "sys/run_error.h"
#include "table/table_parser.h"

namespace {

/// The whole file at path, or nothing when it cannot be read: a lost record only costs time.
std::string ReadIfPossible(const std::string& path, bool& exists) {
  struct stat status;
  exists = lstat(path.c_str(), &status) == 0;
  if (!exists)
    return {};
  try {
    return ReadWholeFile(path);
  } catch (const RunError&) {
    return {};
  }
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
      loaded = ParseFingerprints(ReadIfPossible(fingerprintPath, exists), baseDevice, baseInode);
    installing = ParseInstalling(ReadIfPossible(installingPath, installingExists));
  }
}

std::string CFingerprintBook::Known(const std::string& name, const PathState& present) const {
  if (!present.exists || !S_ISREG(present.mode))
    return {};
  auto found = loaded.find(name);
  if (found == loaded.end() || !(found->second.fingerprint == FingerprintOf(present)))
    return {};
  return found->second.digest;
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
  std::string text;
  if (!installingFile.Valid()) {
    // Appended to: the contents that earlier unfinished runs installed may still be in place.
    installingFile.Reset(open(installingPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    struct stat status;
    if (!installingFile.Valid() || fstat(installingFile.Get(), &status) != 0)
      FailErrno(errno, "fopen(%s)", installingPath.c_str());
    if (status.st_size == 0)
      text = kInstallingHeader;
    if (!installingExists) {
      // The new name must outlast a crash as the content it warns of does.
      size_t slash = installingPath.rfind('/');
      CDescriptor directory(open(slash == std::string::npos ? "." : installingPath.substr(0, slash + 1).c_str(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (!directory.Valid() || fsync(directory.Get()) != 0)
        FailErrno(errno, "fopen(%s)", installingPath.c_str());
      installingExists = true;
    }
  }
  text += FormatInstalling(name, digest);
  if (!appliedTable.empty()) {
    // One flush for the whole run rather than one per file: the applied table is read once more instead.
    CTableParser parser;
    CLineCursor lines(appliedTable);
    TableEntry entry;
    try {
      for (std::string line; lines.Next(line) && parser.ParseLine(line, entry);)
        if (entry.kind == EntryKind::File && entry.file.keepLocalChanges)
          text += FormatInstalling(entry.name, entry.file.digest);
    } catch (const RunError&) {
      // The run meets the damaged line itself, after the records before it: those are recorded.
    }
    appliedTableRecorded = true;
  }
  if (!WriteAll(installingFile.Get(), text.data(), text.size()) || fdatasync(installingFile.Get()) != 0)
    Fail("fwrite(%s): Write error, disk full?", installingPath.c_str());
}

void CFingerprintBook::Found(const std::string& name, const PathState& present, const std::string& digest,
                             const struct timespec& takenAt) {
  KnownContent known{FingerprintOf(present), digest};
  auto loadedEntry = loaded.find(name);
  const bool proved = loadedEntry != loaded.end() && loadedEntry->second.fingerprint == known.fingerprint;
  if (!proved && !SettledBefore(known.fingerprint, takenAt))
    return;
  std::lock_guard<std::mutex> hold(lock);
  if (proved)
    ++provedCount;
  found.emplace_back(name, std::move(known));
}

void CFingerprintBook::Changed(const std::string& name, const PathState& installed, const std::string& digest) {
  std::lock_guard<std::mutex> hold(lock);
  changed.emplace_back(name, KnownContent{FingerprintOf(installed), digest});
}

void CFingerprintBook::Write(const CopyAttributes& attributes) {
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
  InstallBytes(FormatFingerprints(baseDevice, baseInode, contents), fingerprintPath, attributes);
}

void CFingerprintBook::Complete() {
  std::lock_guard<std::mutex> hold(lock);
  installingFile.Reset(-1);
  if (installingExists && unlink(installingPath.c_str()) != 0 && errno != ENOENT)
    FailErrno(errno, "unlink(%s)", installingPath.c_str());
  installingExists = false;
}
