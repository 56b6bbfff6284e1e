#ifndef PROPAGATE_INSTALL_ACTION_H_
#define PROPAGATE_INSTALL_ACTION_H_

#include <string>
#include <vector>

/// What a run does to one path. Each kind has the verb that --dry-run and --verbose print.
enum class ActionKind {
  MakeDir,        ///< "mkdir": a directory created, with its attributes
  SetAttributes,  ///< "attrs": mode, owner, group or times of an existing path set
  Copy,           ///< "copy": a file's content replaced from the repository, with its attributes
  Keep,           ///< "keep": a locally changed file keeps its content (its mode and owner may be set)
  Link,           ///< "link": a symbolic link created or replaced
  Remove,         ///< "remove": a path that the old table installed and the new one dropped, removed
  InstallTable,   ///< "table": the repository table installed in the base directory
};

/// One action on one path; name is relative to the base directory, as the table gives it (unescaped).
struct Action {
  ActionKind kind;
  std::string name;
};

/// The verb printed for kind.
const char* Verb(ActionKind kind);
/// The line printed for an action, without line end: the verb, a blank, the name escaped as in a table.
std::string FormatAction(const Action& action);

#endif  // PROPAGATE_INSTALL_ACTION_H_
