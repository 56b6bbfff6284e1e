// The handlers that bring the base directory in line with each table record, and the table's installation.
// Each record is examined, then decided (install/decision), then acted on: a run carries the decision
// out, a dry run only remembers what it would have made, so that later records see it. Both report the
// same actions, so --verbose prints what --dry-run did.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <cerrno>
#include <cstring>
#include <strings.h>

#include "install/decision.h"
#include "install/propagator.h"
#include "sys/control_sum.h"
#include "sys/descriptor.h"
#include "sys/file_ops.h"
#include "sys/sha256.h"
#include "sys/path_name.h"
#include "sys/run_error.h"
#include "table/table_file.h"
#include "table/mode_rules.h"

namespace {

void SetDirAttributes(const std::string& path, const OwnerIds& owner, const TableEntry& entry) {
  ChangeModeAndOwnerInPlace(path, owner.user, owner.group, entry.dirMode);
  SetTimes(path, entry.mtime);
  NoteChangedPath(path);
}

/// What a dry run can know of a copy beforehand: that its source opens, with the message the copy would give.
void CheckSourceOpens(const std::string& source) {
  CDescriptor from(open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!from.Valid())
    FailErrno(errno, "fopen(%s)", source.c_str());
}

/// Number of slashes: deeper paths have more.
size_t Depth(const std::string& name) { return static_cast<size_t>(std::count(name.begin(), name.end(), '/')); }

/// The key under which a dry run remembers name: spelt without empty or "." components where it can be.
std::string OverlayKey(const std::string& name) {
  std::string normal;
  return NormalisePath(name, normal) ? normal : name;
}

}  // namespace

void CPropagator::ApplyTable(const TableEntry& entry) {
  if (tableRecord.kind != EntryKind::None)
    Fail("Repository table corrupt");
  tableRecord = entry;

  // The text is read now, before any record can change it. A rerun of the same table needs its records
  // only for files that changed: those of the same text are parsed when first asked for. Any other is
  // parsed at once, so that a damaged old table stops the run before it changes anything.
  oldTableText = ReadOldTable(basedir + entry.name, oldTableStatus);
  if (oldTableText != appliedTable)
    OldTable();
  book = std::make_unique<CFingerprintBook>(basedir + entry.name, base.Get(), checksum, appliedTable);
}

const std::vector<TableEntry>& CPropagator::OldTable() const {
  std::call_once(oldTableParsed, [this] {
    oldTable = ParseOldTable(oldTableText);
    // The views point into oldTable's strings, which are not touched again for the rest of the run.
    oldIndex.reserve(oldTable.size());
    for (size_t i = 0; i < oldTable.size(); ++i)
      oldIndex.emplace(oldTable[i].name, i);  // emplace keeps the first record of a name
  });
  return oldTable;
}

const TableEntry* CPropagator::OldRecord(const std::string& name) const {
  OldTable();
  auto found = oldIndex.find(name);
  return found == oldIndex.end() ? nullptr : &oldTable[found->second];
}

const TableEntry& CPropagator::FindOldEntry(const std::string& name) const {
  const TableEntry* record = OldRecord(name);
  if (!record)
    Fail("Cannot find %s in old table, possible corruption", name.c_str());
  return *record;
}

std::vector<Action> CPropagator::ApplyFile(const TableEntry& entry) {
  RequireTableRecord();
  OwnerIds owner = ResolveOwner(ids, entry.owner, entry.group);
  uint64_t bytes = 0;
  return ReconcileFile(entry, owner, bytes);
}

std::vector<Action> CPropagator::ReconcileFile(const TableEntry& entry, const OwnerIds& owner, uint64_t& bytes) const {
  if (settled) {
    auto found = settled->find(entry.name);
    if (found != settled->end()) {
      // Right at the look before the downloads, and untouched by the records before it since: a change made
      // meanwhile is one made after the run, as for a file right now.
      if (book)
        book->Found(entry.name, found->second.present, found->second.digest, found->second.sha256,
                    found->second.takenAt);
      return {};
    }
  }
  Situation situation;
  situation.path = basedir + entry.name;
  situation.owner = owner;
  // Read before the look: a change after it moves the file's change time past the one seen.
  const struct timespec takenAt = FileClockNow();
  // A dry run looks through the links that earlier records would have made, as the run will.
  const std::optional<Location> planned = dryRun ? PlannedLocation(entry.name) : std::nullopt;
  situation.present = planned ? ExaminePath(planned->directory, planned->name, false) : Examine(entry.name, false);
  const PathState& present = situation.present;
  const bool regular = present.exists && S_ISREG(present.mode);
  // Under a signed release every content must be listed, and a file left in place must have its listed
  // SHA-256 as well as its control sum: a twin made to share the MD5 is replaced.
  const std::string releasedSha256 = ReleasedSha256(entry);
  auto hasRecordDigest = [&] { return strcasecmp(situation.presentDigest.c_str(), entry.file.digest.c_str()) == 0; };
  std::string presentSha256;
  if (regular) {
    const Location where = planned ? *planned : Location{base.Get(), RelativeName(entry.name)};
    presentSha256 = LearnPresentContent(entry, present, where, !releasedSha256.empty(), situation.presentDigest,
                                        bytes);
  }
  situation.unvouched = !releasedSha256.empty() && presentSha256 != releasedSha256 && hasRecordDigest();
  // A kept file is read as it always was when it is no regular file, or was swapped or removed while it
  // was looked at: through a link, and what cannot be read fails the run rather than pass for an edit.
  if (entry.file.keepLocalChanges && present.exists && situation.presentDigest.empty()) {
    situation.presentDigest = FileControlSum(situation.path);
    bytes += present.size;
  }
  // The old record matters only to a kept file without its record's content.
  if (entry.file.keepLocalChanges && present.exists && !hasRecordDigest()) {
    situation.oldRecord = OldRecord(entry.name);
    situation.installedByRun =
        !situation.presentDigest.empty() && book && book->WasInstalling(entry.name, situation.presentDigest);
  }
  if (dryRun && !present.exists)
    situation.creationError = CreationError(entry.name);
  const Decision decision = DecideFile(entry, situation);
  if (!decision.failure.empty())
    throw RunError(decision.failure);
  if (dryRun) {
    // A mirror's content is not fetched for a dry run: it is only noted, and checked when it arrives.
    if (decision.action == ActionKind::Copy && contentNeeded) {
      contentNeeded(entry, releasedSha256);
    } else if (!decision.action && !decision.setAttributes && settledFound && regular &&
               !situation.presentDigest.empty()) {
      settledFound(entry.name, {present, situation.presentDigest,
                                situation.unvouched ? std::string() : presentSha256, takenAt});
    } else if (decision.action == ActionKind::Copy) {
      // What the run would copy is read and summed: a damaged repository fails the dry run with its line.
      const std::string source = repodir + entry.file.source;
      CheckSourceOpens(source);
      RequireControlSum(source, FileControlSum(source), entry.file.digest);
      if (!releasedSha256.empty())
        RequireSha256(source, FileSHA256(source), releasedSha256);
    }
  } else if (decision.action == ActionKind::Copy) {
    // Before the content is in place, the next run must know it for this run's: should the run fail, going
    // back must not take it for a local change.
    if (entry.file.keepLocalChanges && book)
      book->Installing(entry.name, entry.file.digest);
    CopyAttributes attributes;
    attributes.user = owner.user;
    attributes.group = owner.group;
    attributes.mode = entry.file.mode;
    attributes.setTimes = true;
    attributes.mtime = entry.mtime;
    attributes.expectedDigest = entry.file.digest;
    attributes.expectedSha256 = releasedSha256;
    struct stat installed {};
    if (!fetched) {
      bytes += CopyFileWithAttributes(repodir + entry.file.source, situation.path, attributes, false, &installed);
    } else {
      // A downloaded object that no other record copies is installed by renaming it: it was checked as it
      // arrived, and the download area lies on the base directory's file system.
      const std::string object = ObjectName(entry.file.digest, releasedSha256);
      const std::string source = fetched->area + object;
      auto uses = fetched->uses.find(object);
      auto unforeseen = [&] {
        // The dry run that chose the downloads failed on its way, and this is where the run meets that.
        if (fetched->plannerFailure)
          std::rethrow_exception(fetched->plannerFailure);
        Fail("%s%s: Not downloaded: the look before the downloads did not foresee this copy to %s (the file "
             "changed meanwhile, or an earlier record of its name replaced it); run it again",
             repositoryName.c_str(), entry.file.source.c_str(), situation.path.c_str());
      };
      if (uses == fetched->uses.end())
        unforeseen();
      try {
        if (fetched->foreseen && uses->second == 1 &&
            MoveFileWithAttributes(source, situation.path, attributes, &installed))
          bytes += static_cast<uint64_t>(installed.st_size);
        else
          bytes += CopyFileWithAttributes(source, situation.path, attributes, false, &installed);
      } catch (const RunError&) {
        // An object that an earlier record took away was not foreseen for this one.
        if (access(source.c_str(), F_OK) != 0 && errno == ENOENT)
          unforeseen();
        throw;
      }
    }
    if (book)
      book->Changed(entry.name, StateOf(installed), entry.file.digest, releasedSha256);
  } else if (decision.action == ActionKind::SetAttributes || decision.setAttributes) {
    // No fingerprint is recorded: the change time that this change sets would hide a write made between
    // the reading and the change, and the next run reads the file once more instead.
    ChangeModeAndOwnerInPlace(situation.path, owner.user, owner.group, entry.file.mode);
    // A kept file keeps its time; one with the record's content gets the record's.
    if (decision.action == ActionKind::SetAttributes)
      SetTimes(situation.path, entry.mtime);
    NoteChangedPath(situation.path);
  } else if (book && !situation.presentDigest.empty() && regular) {
    book->Found(entry.name, present, situation.presentDigest, situation.unvouched ? std::string() : presentSha256,
                takenAt);
  }
  if (!decision.action)
    return {};
  return {{*decision.action, entry.name}};
}

std::string CPropagator::LearnPresentContent(const TableEntry& entry, const PathState& present,
                                             const Location& where, bool withSha256, std::string& digest,
                                             uint64_t& bytes) const {
  std::string sha256Text;
  if (book) {
    if (const KnownContent* known = book->Known(entry.name, present)) {
      digest = known->digest;
      sha256Text = known->sha256;
    }
  }
  // A fingerprint proves the SHA-256 only when the run that recorded it had one to check; it matters only
  // for content that has the record's control sum, which would be left in place.
  const bool sha256Missing =
      withSha256 && sha256Text.empty() && strcasecmp(digest.c_str(), entry.file.digest.c_str()) == 0;
  if (!digest.empty() && !sha256Missing)
    return sha256Text;
  thread_local std::vector<unsigned char> buffer;
  std::optional<CControlSumSHA256> sha256;
  if (withSha256)
    sha256.emplace();
  ContentOpening opening;
  opening.noAccessTime = true;
  opening.examined = &present;
  opening.also = sha256 ? &*sha256 : nullptr;
  PathState opened;
  digest = ControlSumAt(where.directory, where.name, basedir + entry.name, opening, opened, buffer).value_or("");
  bytes += present.size;
  return sha256 && !digest.empty() ? sha256->HexDigest() : std::string();
}

std::string CPropagator::ReleasedSha256(const TableEntry& entry) const {
  if (!release)
    return {};
  auto listed = release->sums.find(entry.file.source);
  if (listed == release->sums.end())
    Fail("%s%s: The content is not listed in %s", repositoryName.c_str(), entry.file.source.c_str(),
         kSha256SumsName);
  return listed->second;
}

std::vector<Action> CPropagator::ApplyDir(const TableEntry& entry) {
  RequireTableRecord();
  Situation situation;
  situation.path = basedir + entry.name;
  situation.present = Examine(entry.name, false);
  // The owner is looked up only when it is needed: a directory that keeps what exists has none to set.
  if (!situation.present.exists || !entry.keepExisting)
    situation.owner = ResolveOwner(ids, entry.owner, entry.group);
  if (dryRun && !situation.present.exists)
    situation.creationError = CreationError(entry.name);
  const Decision decision = DecideDir(entry, situation);
  if (!decision.failure.empty())
    throw RunError(decision.failure);
  if (dryRun) {
    if (decision.action) {
      Remember(entry.name, [&](PathState& made) {
        if (!situation.present.exists)
          made.mode = S_IFDIR;
        made.mode = (made.mode & ~07777u) | (entry.dirMode & 07777);
        made.mtime = entry.mtime;
        made.user = situation.owner.user;
        made.group = situation.owner.group;
      });
    }
  } else {
    if (decision.action == ActionKind::MakeDir)
      MakeDir(situation.path, entry.dirMode);
    if (decision.action)
      SetDirAttributes(situation.path, situation.owner, entry);
    if (decision.rememberTime)
      timedDirectories.emplace_back(entry.name, entry.mtime);
  }
  if (!decision.action)
    return {};
  return {{*decision.action, entry.name}};
}

PathState CPropagator::Examine(const std::string& name, bool withTarget) const {
  // A dry run changes nothing, so what it would have made is remembered for later records of the same path.
  if (dryRun) {
    // File records read it on the workers while directory and link records change it on this thread.
    std::lock_guard<std::mutex> hold(dryLock);
    auto found = dryMade.find(OverlayKey(name));
    if (found != dryMade.end())
      return found->second;
  }
  if (!base.Valid()) {
    PathState missing;
    missing.error = ENOENT;  // a dry run of a base directory that the run would make
    return missing;
  }
  return ExaminePath(base.Get(), name, withTarget);
}

int CPropagator::CreationError(const std::string& name) const {
  std::string normal;
  if (!NormalisePath(name, normal))
    return 0;  // a ".." may lead anywhere: only the run can tell
  size_t slash = normal.rfind('/');
  if (slash == std::string::npos)
    return 0;  // the base directory, which exists or which the run makes
  const std::string parent = normal.substr(0, slash);
  {
    std::lock_guard<std::mutex> hold(dryLock);
    auto found = dryMade.find(parent);
    if (found != dryMade.end())
      return S_ISDIR(found->second.mode) || S_ISLNK(found->second.mode) ? 0 : ENOTDIR;
  }
  if (!base.Valid())
    return ENOENT;
  struct stat status;
  if (fstatat(base.Get(), RelativeName(parent).c_str(), &status, 0) != 0)
    return errno;
  return S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
}

std::optional<CPropagator::Location> CPropagator::PlannedLocation(const std::string& name) const {
  std::string normal;
  if (!NormalisePath(name, normal))
    return std::nullopt;
  std::lock_guard<std::mutex> hold(dryLock);
  if (dryMade.empty())
    return std::nullopt;
  // The deepest directory of the name that an earlier record would turn into another link decides.
  for (size_t slash = normal.rfind('/'); slash != std::string::npos && slash > 0;
       slash = normal.rfind('/', slash - 1)) {
    auto found = dryMade.find(normal.substr(0, slash));
    if (found == dryMade.end() || !S_ISLNK(found->second.mode))
      continue;
    const std::string& target = found->second.target;
    const std::string rest = normal.substr(slash);
    if (!target.empty() && target[0] == '/')
      return Location{AT_FDCWD, target + rest};
    const size_t parentEnd = normal.rfind('/', slash - 1);
    const std::string parent = parentEnd == std::string::npos ? std::string() : normal.substr(0, parentEnd + 1);
    return Location{base.Get(), RelativeName(parent + target + rest)};
  }
  return std::nullopt;
}

std::unordered_map<std::string, std::string> CPropagator::PlannedLinks() const {
  std::unordered_map<std::string, std::string> links;
  std::lock_guard<std::mutex> hold(dryLock);
  for (const auto& [name, state] : dryMade)
    if (S_ISLNK(state.mode))
      links.emplace(name, state.target);
  return links;
}

void CPropagator::Remember(const std::string& name, const std::function<void(PathState&)>& change) {
  const std::string key = OverlayKey(name);
  PathState state = Examine(name, true);
  state.exists = true;
  state.error = 0;
  std::lock_guard<std::mutex> hold(dryLock);
  auto [made, fresh] = dryMade.try_emplace(key, std::move(state));
  change(made->second);
}

std::vector<Action> CPropagator::ApplySymlink(const TableEntry& entry) {
  RequireTableRecord();
  Situation situation;
  situation.path = basedir + entry.name;
  situation.owner = ResolveOwner(ids, entry.owner, entry.group);
  situation.present = Examine(entry.name, true);
  if (dryRun && (!situation.present.exists || !S_ISLNK(situation.present.mode)))
    situation.creationError = CreationError(entry.name);
  const Decision decision = DecideLink(entry, situation);
  if (!decision.failure.empty())
    throw RunError(decision.failure);
  if (!decision.action)
    return {};
  if (dryRun) {
    Remember(entry.name, [&](PathState& made) {
      if (decision.action == ActionKind::Link) {
        made.mode = S_IFLNK | 0777;
        made.target = entry.target;
        made.links = 1;
      }
      made.user = situation.owner.user;
      made.group = situation.owner.group;
      made.mtime = entry.mtime;
    });
  } else if (decision.action == ActionKind::Link) {
    const std::string& path = situation.path;
    unlink(path.c_str());  // a file or link in the way; the decision never lets a directory be there
    if (symlink(entry.target.c_str(), path.c_str()) != 0)
      FailErrno(errno, "Cannot create symlink %s", path.c_str());
    SetOwnerIds(path, situation.owner.user, situation.owner.group);
    SetTimes(path, entry.mtime);
    NoteChangedPath(path);
  } else {
    ChangeOwnerInPlace(situation.path, situation.owner.user, situation.owner.group);
    SetTimes(situation.path, entry.mtime);
    NoteChangedPath(situation.path);
  }
  return {{*decision.action, entry.name}};
}

void CPropagator::RestoreDirectoryTimes() {
  // Deepest first, so that setting a directory's time never touches a parent already done; among equals the
  // table's order, and a later record of the same directory last, as it was applied.
  std::stable_sort(timedDirectories.begin(), timedDirectories.end(),
                   [](const auto& a, const auto& b) { return Depth(a.first) > Depth(b.first); });
  for (const auto& [name, time] : timedDirectories)
    SetTimes(basedir + name, time);
}

bool CPropagator::TableInstalledAlready(const std::string& tableBytes, const OwnerIds& owner) const {
  if (oldTableText.empty() || oldTableText != tableBytes)
    return false;
  // The file read at the start must still be there, as it was: nothing of this run may have replaced it.
  struct stat now;
  if (fstatat(base.Get(), RelativeName(tableRecord.name).c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
    return false;
  const struct stat& then = oldTableStatus;
  return now.st_dev == then.st_dev && now.st_ino == then.st_ino && now.st_size == then.st_size &&
         now.st_mtim.tv_sec == then.st_mtim.tv_sec && now.st_mtim.tv_nsec == then.st_mtim.tv_nsec &&
         now.st_ctim.tv_sec == then.st_ctim.tv_sec && now.st_ctim.tv_nsec == then.st_ctim.tv_nsec &&
         S_ISREG(now.st_mode) && now.st_nlink == 1 && !FileModeDiffers(now.st_mode, tableRecord.file.mode) &&
         now.st_uid == owner.user && now.st_gid == owner.group;
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
  // The fingerprints go first: they only tell what installed files hold, true whichever table is in place.
  if (book)
    book->Write();
  if (!TableInstalledAlready(tableBytes, owner))
    InstallBytes(tableBytes, installed, attributes);
  if (book)
    book->Complete();
  if (!release) {
    // A release recorded earlier no longer describes what is installed.
    unlink(ReleaseRecordPath(installed).c_str());
    unlink(ReleaseSumsPath(installed).c_str());
  } else {
    // After the table: a run that fails before it must not make the next refuse to go back.
    CopyAttributes own;
    own.user = geteuid();
    own.group = getegid();
    own.mode = 0644;
    InstallBytes(FormatSha256Sums(release->sums), ReleaseSumsPath(installed), own);
    InstallBytes(FormatInstalledRelease({release->statement.product, release->statement.version,
                                         release->sumsDigest}),
                 ReleaseRecordPath(installed), own);
  }
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
