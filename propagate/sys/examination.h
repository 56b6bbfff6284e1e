#ifndef PROPAGATE_SYS_EXAMINATION_H_
#define PROPAGATE_SYS_EXAMINATION_H_

#include <sys/types.h>

#include <cstdint>
#include <string>

/// What stands at a path, looked at without following a link at the path itself.
struct PathState {
  bool exists = false;
  int error = 0;       ///< why nothing could be examined (ENOENT, ENOTDIR, ...); 0 when something stands
  uint32_t mode = 0;   ///< whole mode word: type and permissions
  uid_t user = 0;      ///< owner id
  gid_t group = 0;     ///< group id
  int64_t mtime = 0;   ///< modification time, whole seconds since 1970
  uint64_t size = 0;   ///< length in bytes
  dev_t device = 0;    ///< device of the file system that holds it
  ino_t inode = 0;     ///< inode number on that device
  uint64_t links = 0;  ///< number of hard links
  std::string target;  ///< a link's text, when it was asked for
  int targetError = 0;  ///< why a link's text asked for could not be read (errno); target is empty then
};

/// The name relative to a directory's descriptor that reaches the same path as that directory's path
/// joined with name: an absolute name would make the *at calls ignore the directory.
std::string RelativeName(const std::string& name);

/// Examines name (RelativeName applied) in the directory open at directory, or the path name itself with
/// AT_FDCWD, never following a link at name itself; with withTarget a link's text is read too. Never
/// throws: a path that cannot be examined comes back with exists false and the cause in error.
PathState ExaminePath(int directory, const std::string& name, bool withTarget);

#endif  // PROPAGATE_SYS_EXAMINATION_H_
