// The handlers that bring the base directory in line with each table record, and the table's installation.
// Each handler first decides what its record needs from what stands on disk, then, unless the run is a dry
// run, does it; the actions it returns are the same either way, so --verbose prints what --dry-run did.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "install/propagator.h"
#include "sys/control_sum.h"
#include "sys/descriptor.h"
#include "sys/file_ops.h"
#include "sys/mapped_file.h"
#include "sys/run_error.h"

namespace {

void SetDirAttributes(const std::string& path, const OwnerIds& owner, const TableEntry& entry) {
  ChangeModeAndOwnerInPlace(path, owner.user, owner.group, entry.dirMode);
  SetTimes(path, entry.mtime);
  NoteChangedPath(path);
}

/// What a dry run can know of a copy beforehand: that its source opens, with the message the copy would give.
void CheckSourceOpens(const std::string& source) {
  CDescriptor from(open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!from.Valid()) {
    int err = errno;
    Fail("fopen(%s): %s", source.c_str(), strerror(err));
  }
}

void RememberOwner(struct stat& status, const OwnerIds& owner) {
  status.st_uid = owner.user;
  status.st_gid = owner.group;
}

/// Number of slashes: deeper paths have more.
size_t Depth(const std::string& name) { return static_cast<size_t>(std::count(name.begin(), name.end(), '/')); }

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

std::vector<Action> CPropagator::ApplyFile(const TableEntry& entry) {
  RequireTableRecord();
  OwnerIds owner = ResolveOwner(ids, entry.owner, entry.group);
  uint64_t bytes = 0;
  return ReconcileFile(entry, owner, bytes);
}

std::vector<Action> CPropagator::ReconcileFile(const TableEntry& entry, const OwnerIds& owner, uint64_t& bytes) const {
  std::string destination = basedir + entry.name;
  std::string source = repodir + entry.file.source;

  if (entry.file.keepLocalChanges) {
    struct stat status;
    if (PathExists(destination, status)) {
      bool attributesDiffer =
          status.st_mode != entry.file.mode || owner.user != status.st_uid || owner.group != status.st_gid;
      std::string present = FileControlSum(destination);
      bytes += static_cast<uint64_t>(status.st_size);
      // Content that already is this record's is no local change: a run killed after the copy but before
      // the table was installed leaves such files, and they must still get their times, even on a first
      // installation, when there is no old table to look them up in.
      if (present != entry.file.digest && present != FindOldEntry(entry.name).file.digest) {
        // Changed locally since the last run: the content and times stay, mode and owner are the record's.
        if (attributesDiffer && dryRun) {
          RefuseSharedFile(destination, status);
        } else if (attributesDiffer) {
          ChangeModeAndOwnerInPlace(destination, owner.user, owner.group, entry.file.mode);
          NoteChangedPath(destination);
        }
        return {{ActionKind::Keep, entry.name}};
      }
    }
  }
  // Every other file is copied on every run, whatever stands at its path: the copy replaces it whole.
  if (dryRun) {
    CheckSourceOpens(source);
  } else {
    CopyAttributes attributes;
    attributes.user = owner.user;
    attributes.group = owner.group;
    attributes.mode = entry.file.mode;
    attributes.setTimes = true;
    attributes.mtime = entry.mtime;
    bytes += CopyFileWithAttributes(source, destination, attributes);
  }
  return {{ActionKind::Copy, entry.name}};
}

std::vector<Action> CPropagator::ApplyDir(const TableEntry& entry) {
  RequireTableRecord();
  if (entry.keepExisting)
    return CreateDirOnce(entry);
  return SyncDir(entry);
}

std::vector<Action> CPropagator::SyncDir(const TableEntry& entry) {
  std::string path = basedir + entry.name;
  struct stat status;
  if (!Examine(entry.name, path, status))
    return CreateDirOnce(entry);
  OwnerIds owner = ResolveOwner(ids, entry.owner, entry.group);
  if (!dryRun)
    timedDirectories.emplace_back(entry.name, entry.mtime);
  if ((status.st_mode & 07777) == (entry.dirMode & 07777) && status.st_uid == owner.user &&
      status.st_gid == owner.group && status.st_mtime == entry.mtime)
    return {};
  if (!dryRun) {
    SetDirAttributes(path, owner, entry);
  } else {
    RefuseSharedFile(path, status);
    struct stat& made = Made(entry.name);
    made = status;
    made.st_mode = (status.st_mode & ~07777u) | (entry.dirMode & 07777);
    made.st_mtime = entry.mtime;
    RememberOwner(made, owner);
  }
  return {{ActionKind::SetAttributes, entry.name}};
}

bool CPropagator::Examine(const std::string& name, const std::string& path, struct stat& status) {
  // A dry run changes nothing, so what it would have made is remembered for later records of the same path.
  auto found = dryMade.find(name);
  if (dryRun && found != dryMade.end()) {
    status = found->second;
    return true;
  }
  return PathExists(path, status);
}

struct stat& CPropagator::Made(const std::string& name) {
  return dryMade.try_emplace(name).first->second;
}

std::vector<Action> CPropagator::CreateDirOnce(const TableEntry& entry) {
  std::string path = basedir + entry.name;
  struct stat status;
  if (Examine(entry.name, path, status))
    return {};
  OwnerIds owner = ResolveOwner(ids, entry.owner, entry.group);
  if (!dryRun) {
    MakeDir(path, entry.dirMode);
    SetDirAttributes(path, owner, entry);
    timedDirectories.emplace_back(entry.name, entry.mtime);
  } else {
    struct stat& made = Made(entry.name);
    made.st_mode = S_IFDIR | (entry.dirMode & 07777);
    made.st_mtime = entry.mtime;
    RememberOwner(made, owner);
  }
  return {{ActionKind::MakeDir, entry.name}};
}

std::vector<Action> CPropagator::ApplySymlink(const TableEntry& entry) {
  RequireTableRecord();
  std::string path = basedir + entry.name;
  OwnerIds owner = ResolveOwner(ids, entry.owner, entry.group);
  std::string present;
  auto linked = dryLinks.find(entry.name);
  if (dryRun && linked != dryLinks.end()) {
    present = linked->second;
  } else {
    try {
      present = ReadLink(path);
    } catch (const RunError&) {
      // nothing there, or no link: counts as a link with an empty text
    }
  }
  if (present != entry.target) {
    if (dryRun) {
      dryLinks[entry.name] = entry.target;
      struct stat& made = Made(entry.name);
      made.st_mode = S_IFLNK | 0777;
      RememberOwner(made, owner);
    } else {
      unlink(path.c_str());  // removes a file or link in the way; a directory stays and symlink reports it
      if (symlink(entry.target.c_str(), path.c_str()) != 0) {
        int err = errno;
        Fail("Cannot create symlink %s: %s", path.c_str(), strerror(err));
      }
      SetOwnerIds(path, owner.user, owner.group);
      NoteChangedPath(path);
    }
    return {{ActionKind::Link, entry.name}};
  }
  struct stat status {};
  if (Examine(entry.name, path, status) && status.st_uid == owner.user && status.st_gid == owner.group)
    return {};
  if (!dryRun) {
    ChangeOwnerInPlace(path, owner.user, owner.group);
    NoteChangedPath(path);
    return {{ActionKind::SetAttributes, entry.name}};
  }
  RefuseSharedFile(path, status);
  if (dryMade.count(entry.name) != 0)
    RememberOwner(Made(entry.name), owner);
  return {{ActionKind::SetAttributes, entry.name}};
}

void CPropagator::RestoreDirectoryTimes() {
  // Deepest first, so that setting a directory's time never touches a parent already done; among equals the
  // table's order, and a later record of the same directory last, as it was applied.
  std::stable_sort(timedDirectories.begin(), timedDirectories.end(),
                   [](const auto& a, const auto& b) { return Depth(a.first) > Depth(b.first); });
  for (const auto& [name, time] : timedDirectories)
    SetTimes(basedir + name, time);
}

std::vector<Action> CPropagator::InstallTable(const std::string& tableBytes) {
  if (tableRecord.kind != EntryKind::Table)
    Fail("Repository table corrupt");
  OwnerIds owner = ResolveOwner(ids, tableRecord.owner, tableRecord.group);
  if (dryRun)
    return {{ActionKind::InstallTable, tableRecord.name}};
  std::string installed = basedir + tableRecord.name;
  // The table must never reach the disk before the contents it records, wherever the run put them.
  SyncChangedFileSystems(basedir);
  CopyAttributes attributes;
  attributes.user = owner.user;
  attributes.group = owner.group;
  attributes.mode = tableRecord.file.mode;
  // The bytes that were applied, not the repository's table as it is now: the repository may have changed
  // since (a new release made into it, a mirror's sync), and a table that does not describe what was
  // installed would make the next run take real files for local edits.
  InstallBytes(tableBytes, installed, attributes);
  // The rename moved the time of the table's own directory, which may be one that the table lists.
  size_t slash = tableRecord.name.rfind('/');
  if (slash != std::string::npos) {
    std::string parent = tableRecord.name.substr(0, slash);
    for (auto found = timedDirectories.rbegin(); found != timedDirectories.rend(); ++found) {
      if (found->first == parent) {
        SetTimes(basedir + parent, found->second);
        break;
      }
    }
  }
  return {{ActionKind::InstallTable, tableRecord.name}};
}
