#ifndef PROPAGATE_SYS_TREE_WALK_H_
#define PROPAGATE_SYS_TREE_WALK_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sys/examination.h"

/// One entry of a walked tree: its path and what lstat and readlink said of it.
struct StagedEntry : PathState {
  std::string path;  ///< relative to the top of the tree, components joined by "/"
};

/// Appends every entry below the directory open at top (the top itself excluded) to entries: parents before
/// their contents, siblings in byte order of their names. Directories are opened relative to their parent's
/// descriptor and symbolic links are never followed. shownTop is put in front of relative paths in
/// messages: "%s: Cannot open: %s", "%s: Cannot read directory: %s", "%s: Cannot stat: %s",
/// "readlink(%s): %s", "%s: Changed while the repository was being made" (a directory replaced meanwhile).
void WalkTree(int top, const std::string& shownTop, std::vector<StagedEntry>& entries);

#endif  // PROPAGATE_SYS_TREE_WALK_H_
