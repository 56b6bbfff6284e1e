#include "install/decision.h"

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <strings.h>

#include "table/mode_rules.h"

namespace {

Decision Failure(const std::string& message) {
  Decision decision;
  decision.failure = message;
  return decision;
}

std::string SystemFailure(const char* call, const std::string& path, int error) {
  return std::string(call) + "(" + path + "): " + strerror(error);
}

/// The refusal that an in-place change of mode or owner meets on a file that other names share.
std::string SharedFileFailure(const Situation& situation) {
  return situation.path + " has " + std::to_string(situation.present.links) +
         " hard links: refusing to change the owner or mode of a file that other names share";
}

bool Shared(const PathState& present) {
  return !S_ISDIR(present.mode) && present.links > 1;
}

/// The errno that making something at the path meets: a parent that is no directory, or the parent's own.
int CreationError(const Situation& situation) {
  if (!situation.present.exists && situation.present.error == ENOTDIR)
    return ENOTDIR;
  return situation.creationError;
}

/// True when both control sums are known and equal, in either case.
bool SameDigest(const std::string& a, const std::string& b) {
  return !a.empty() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

bool SameOwner(const PathState& present, const OwnerIds& owner) {
  return present.user == owner.user && present.group == owner.group;
}

}  // namespace

Decision DecideDir(const TableEntry& record, const Situation& situation) {
  const PathState& present = situation.present;
  Decision decision;
  if (!present.exists) {
    if (int error = CreationError(situation))
      return Failure(SystemFailure("mkdir", situation.path, error));
    decision.action = ActionKind::MakeDir;
    decision.rememberTime = true;
    return decision;
  }
  if (record.keepExisting)
    return decision;
  // A file in the place of a directory cannot become one, and propagate never removes it: it is left as
  // it is (the directory's mode would only break it), and the records below it fail on it.
  if (!S_ISDIR(present.mode) && !S_ISLNK(present.mode))
    return decision;
  decision.rememberTime = true;
  if (!DirModeDiffers(present.mode, record.dirMode) && SameOwner(present, situation.owner) &&
      present.mtime == record.mtime)
    return decision;
  if (Shared(present))
    return Failure(SharedFileFailure(situation));
  decision.action = ActionKind::SetAttributes;
  return decision;
}

Decision DecideLink(const TableEntry& record, const Situation& situation) {
  const PathState& present = situation.present;
  // Whatever is no link counts as a link with an empty text.
  const std::string text = present.exists && S_ISLNK(present.mode) ? present.target : std::string();
  Decision decision;
  if (text != record.target) {
    // A file or link in the way is removed; a directory never is, and the link cannot be made over it.
    if (present.exists && S_ISDIR(present.mode))
      return Failure("Cannot create symlink " + situation.path + ": " + strerror(EEXIST));
    if (int error = CreationError(situation))
      return Failure("Cannot create symlink " + situation.path + ": " + strerror(error));
    decision.action = ActionKind::Link;
    return decision;
  }
  if (present.exists && SameOwner(present, situation.owner) && present.mtime == record.mtime)
    return decision;
  if (present.exists && Shared(present))
    return Failure(SharedFileFailure(situation));
  decision.action = ActionKind::SetAttributes;
  return decision;
}

Decision DecideFile(const TableEntry& record, const Situation& situation) {
  const PathState& present = situation.present;
  const FileAttributes& file = record.file;
  Decision decision;
  const bool right = SameDigest(situation.presentDigest, file.digest) && !situation.unvouched;
  // Content that an unfinished run installed is that run's, not a local change: going back after a
  // failed upgrade must not keep the new release's configuration under the old release's table.
  if (file.keepLocalChanges && present.exists && !right && !situation.installedByRun && !situation.unvouched) {
    if (!situation.oldRecord)
      return Failure("Cannot find " + record.name + " in old table, possible corruption");
    // The old sum is compared as text, as it always was: a table's lower-case digits never match it.
    if (situation.presentDigest != situation.oldRecord->file.digest) {
      // Changed locally since the last run: the content and times stay, mode and owner are the record's.
      decision.action = ActionKind::Keep;
      decision.setAttributes = FileModeDiffers(present.mode, file.mode) || !SameOwner(present, situation.owner);
      if (decision.setAttributes && Shared(present))
        return Failure(SharedFileFailure(situation));
      return decision;
    }
  }
  if (int error = CreationError(situation))
    return Failure(SystemFailure("fopen", situation.path, error));
  if (right && present.exists && S_ISREG(present.mode)) {
    if (!FileModeDiffers(present.mode, file.mode) && SameOwner(present, situation.owner) &&
        present.mtime == record.mtime)
      return decision;
    // A file that other names share is replaced rather than changed, as every copy of it always was.
    decision.action = Shared(present) ? ActionKind::Copy : ActionKind::SetAttributes;
    return decision;
  }
  decision.action = ActionKind::Copy;
  return decision;
}
