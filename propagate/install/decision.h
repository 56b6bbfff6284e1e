#ifndef PROPAGATE_INSTALL_DECISION_H_
#define PROPAGATE_INSTALL_DECISION_H_

#include <optional>
#include <string>

#include "install/action.h"
#include "sys/examination.h"
#include "sys/id_cache.h"
#include "table/table_parser.h"

/// What one record needs, decided from what stands at its path before anything is changed. A run carries
/// it out, a dry run prints it: both print the same line.
struct Decision {
  std::optional<ActionKind> action;  ///< the record's line; none when the path is already right
  bool rememberTime = false;         ///< a directory whose time the run sets once more at its end
  bool setAttributes = false;        ///< a kept file whose mode, owner or group must be set
  std::string failure;               ///< when not empty, the record fails with this before changing anything
};

/// What the record's path looks like to the decision; path is the base directory joined with the name, for
/// messages. creationError is the errno that making something at the path would meet because of its parent
/// (0 when none is known), and presentDigest the control sum of the file that stands there, when known.
struct Situation {
  std::string path;
  PathState present;
  OwnerIds owner;
  int creationError = 0;
  std::string presentDigest;
  const TableEntry* oldRecord = nullptr;  ///< the old table's record of the name, if any
  bool installedByRun = false;  ///< the present content is one that an unfinished run was installing there
  /// The present content has the record's control sum but not the SHA-256 that the signed release gives
  /// it: a twin made to share the MD5, which is replaced, kept or not.
  bool unvouched = false;
};

/// A directory record: made when missing, its attributes set where they differ; a directory that keeps
/// what exists is left alone. A link to a directory is a directory moved elsewhere: its link gets the
/// attributes. Anything else in its place is left alone.
Decision DecideDir(const TableEntry& record, const Situation& situation);
/// A symlink record: made or replaced when its text differs (never over a directory: "Cannot create symlink
/// %s: File exists"), else its owner, group and time (of the link itself) set where they differ.
Decision DecideLink(const TableEntry& record, const Situation& situation);
/// A file record: left in place when the file there already has the record's content (its mode, owner,
/// group and time set where they differ, or the file replaced by a copy when other names share it), else
/// copied, unless it keeps local changes and its present content has neither the new nor the old control
/// sum and is no content that an unfinished run was installing ("Cannot find %s in old table, possible
/// corruption" when there is no old record).
Decision DecideFile(const TableEntry& record, const Situation& situation);

#endif  // PROPAGATE_INSTALL_DECISION_H_
