#ifndef PROPAGATE_INSTALL_PATH_RESOLVER_H_
#define PROPAGATE_INSTALL_PATH_RESOLVER_H_

#include <map>
#include <string>

#include "install/record_scheduler.h"

/// Tells, on the thread that reads the table, which paths of the base directory a record reaches: two
/// spellings of one file ("d/x", and "L/x" through a link L to d) must never run at once, and a record that
/// goes through a link must wait for a record that replaces that link. Remembers what it has looked at
/// until a record may have changed it.
class CPathResolver {
 public:
  /// Resolves inside the base directory open at baseDirectory (-1: nothing exists yet).
  explicit CPathResolver(int baseDirectory) : baseDirectory(baseDirectory) {}

  /// The paths of a record at name: name itself and, where links inside the base directory lead elsewhere,
  /// the name they lead to, and the links on the way. A name with ".." is left to the scheduler as it is.
  RecordPaths Resolve(const std::string& name);
  /// Called before a record at name starts that may put something else at name (a link, or a file where a
  /// link or directory stood): forgets what was seen at and below it. True when an earlier resolution went
  /// through name, so that what copies keep open there must be forgotten too once the record is over.
  bool Replacing(const std::string& name);

 private:
  /// What stands at a path whose parents are resolved: a link (with its text) or not.
  struct Seen {
    bool link = false;
    std::string target;
  };
  const Seen& Look(const std::string& normal);

  const int baseDirectory;
  std::map<std::string, Seen> seen;
};

#endif  // PROPAGATE_INSTALL_PATH_RESOLVER_H_
