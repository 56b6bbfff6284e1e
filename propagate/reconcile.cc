// The handlers that bring the base directory in line with each table record, and the table's installation.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "control_sum.h"
#include "file_ops.h"
#include "mapped_file.h"
#include "propagator.h"
#include "run_error.h"

namespace {

// Changing the owner of a regular file makes the kernel clear its set-user-ID and set-group-ID bits,
// even for root and even when the owner stays, so a mode set before the owner loses them.
void SetModeThenOwner(const std::string& path, const TableEntry& entry, uint32_t mode) {
  SetMode(path, mode);
  SetOwner(path, entry);
  if (mode & (S_ISUID | S_ISGID))
    SetMode(path, mode);
}

void CopyWithAttributes(const std::string& source, const std::string& destination, const TableEntry& entry) {
  CopyFile(source, destination);
  SetModeThenOwner(destination, entry, entry.file.mode);
  SetTimes(destination, entry.mtime);
}

void SetDirAttributes(const std::string& path, const TableEntry& entry) {
  SetModeThenOwner(path, entry, entry.dirMode);
  SetTimes(path, entry.mtime);
}

}  // namespace

void CPropagator::ApplyTable(const TableEntry& entry) {
  if (tableRecord.kind != EntryKind::None)
    Fail("Repository table corrupt");
  tableRecord = entry;

  std::vector<std::string> lines;
  try {
    LoadLines(basedir + entry.name, lines);
  } catch (const RunError&) {
    return;  // a missing, unreadable or empty old table is no old table
  }
  CTableParser parser;
  oldTable.reserve(lines.size());
  for (const std::string& line : lines) {
    TableEntry old;
    if (!parser.ParseLine(line, old))
      break;
    oldTable.push_back(std::move(old));
  }
  // The views point into oldTable's strings, which are not touched again for the rest of the run.
  oldIndex.reserve(oldTable.size());
  for (size_t i = 0; i < oldTable.size(); ++i)
    oldIndex.emplace(oldTable[i].name, i);  // emplace keeps the first record of a name
}

const TableEntry& CPropagator::FindOldEntry(const std::string& name) const {
  auto found = oldIndex.find(name);
  if (found == oldIndex.end())
    Fail("Cannot find %s in old table, possible corruption", name.c_str());
  return oldTable[found->second];
}

void CPropagator::ApplyFile(const TableEntry& entry) {
  RequireTableRecord();
  std::string destination = basedir + entry.name;
  std::string source = repodir + entry.file.source;

  struct stat status;
  if (!PathExists(destination, status)) {
    CopyWithAttributes(source, destination, entry);
    return;
  }
  if (status.st_mode != entry.file.mode || UserId(entry.owner) != status.st_uid ||
      GroupId(entry.group) != status.st_gid)
    SetModeThenOwner(destination, entry, entry.file.mode);

  if (entry.file.keepLocalChanges) {
    std::string present = FileControlSum(destination);
    // Content that already is this record's is no local change: a run killed after the copy but before
    // the table was installed leaves such files, and they must still get their times, even on a first
    // installation, when there is no old table to look them up in.
    if (present != entry.file.digest && present != FindOldEntry(entry.name).file.digest)
      return;  // changed locally since the last run: keep content and times
  }
  CopyWithAttributes(source, destination, entry);
}

void CPropagator::ApplyDir(const TableEntry& entry) {
  RequireTableRecord();
  if (entry.keepExisting)
    CreateDirOnce(entry);
  else
    SyncDir(entry);
}

void CPropagator::SyncDir(const TableEntry& entry) {
  std::string path = basedir + entry.name;
  struct stat status;
  if (!PathExists(path, status))
    MakeDir(path, entry.dirMode);
  SetDirAttributes(path, entry);
}

void CPropagator::CreateDirOnce(const TableEntry& entry) {
  std::string path = basedir + entry.name;
  struct stat status;
  if (PathExists(path, status))
    return;
  MakeDir(path, entry.dirMode);
  SetDirAttributes(path, entry);
}

void CPropagator::ApplySymlink(const TableEntry& entry) {
  RequireTableRecord();
  std::string path = basedir + entry.name;
  std::string present;
  try {
    present = ReadLink(path);
  } catch (const RunError&) {
    // nothing there, or no link: counts as a link with an empty text
  }
  if (present != entry.target) {
    unlink(path.c_str());  // removes a file or link in the way; a directory stays and symlink reports it
    if (symlink(entry.target.c_str(), path.c_str()) != 0) {
      int err = errno;
      Fail("Cannot create symlink %s: %s", path.c_str(), strerror(err));
    }
  }
  SetOwner(path, entry);
}

void CPropagator::InstallTable() {
  if (tableRecord.kind != EntryKind::Table)
    Fail("Repository table corrupt");
  std::string installed = basedir + tableRecord.name;
  // The table must never reach the disk before the contents it records.
  SyncFileSystem(basedir);
  CopyFile(repodir + "files.txt", installed, true);
  SetOwner(installed, tableRecord);
  SetMode(installed, tableRecord.file.mode);
}
