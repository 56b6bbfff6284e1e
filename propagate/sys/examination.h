#ifndef PROPAGATE_SYS_EXAMINATION_H_
#define PROPAGATE_SYS_EXAMINATION_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "sys/control_sum.h"

/// What stands at a path, looked at without following a link at the path itself.
struct PathState {
  bool exists = false;
  int error = 0;       ///< why nothing could be examined (ENOENT, ENOTDIR, ...); 0 when something stands
  uint32_t mode = 0;   ///< whole mode word: type and permissions
  uid_t user = 0;      ///< owner id
  gid_t group = 0;     ///< group id
  int64_t mtime = 0;   ///< modification time, whole seconds since 1970
  int64_t mtimeNanoseconds = 0;  ///< the modification time's fraction of a second
  int64_t ctime = 0;             ///< status change time, whole seconds since 1970 (set by the kernel alone)
  int64_t ctimeNanoseconds = 0;  ///< the status change time's fraction of a second
  uint64_t size = 0;   ///< length in bytes
  dev_t device = 0;    ///< device of the file system that holds it
  ino_t inode = 0;     ///< inode number on that device
  uint64_t links = 0;  ///< number of hard links
  std::string target;  ///< a link's text, when it was asked for
  int targetError = 0;  ///< why a link's text asked for could not be read (errno); target is empty then
};

/// The time that a file changed now would get as its status change time: the kernel's coarse clock.
struct timespec FileClockNow();

/// The name relative to a directory's descriptor that reaches the same path as that directory's path
/// joined with name: an absolute name would make the *at calls ignore the directory.
std::string RelativeName(const std::string& name);

/// The state of what status (lstat's or fstat's) describes: it exists, with no target read.
PathState StateOf(const struct stat& status);

/// Examines name (RelativeName applied) in the directory open at directory, or the path name itself with
/// AT_FDCWD, never following a link at name itself; with withTarget a link's text is read too. Never
/// throws: a path that cannot be examined comes back with exists false and the cause in error.
PathState ExaminePath(int directory, const std::string& name, bool withTarget);

/// How ControlSumAt opens the file whose content it sums.
struct ContentOpening {
  bool followLink = false;              ///< follow a link at the name
  bool noAccessTime = false;            ///< leave no access time where the caller owns the file or is privileged
  const PathState* examined = nullptr;  ///< given: a file gone, a link or another file by now gives nothing
  IControlSum* also = nullptr;          ///< given: fed the same content, for a second sum
};

/// MD5 text of the file name in the open directory (no RelativeName applied), opened for reading without
/// waiting for a FIFO's writer, as opening says; opened gets the status of what opened. Nothing when that is
/// no regular file. buffer is DescriptorControlSum's. "%s: Cannot open: %s", "%s: Cannot stat: %s",
/// "%s: Cannot read: %s" (shown).
std::optional<std::string> ControlSumAt(int directory, const std::string& name, const std::string& shown,
                                        const ContentOpening& opening, PathState& opened,
                                        std::vector<unsigned char>& buffer);

#endif  // PROPAGATE_SYS_EXAMINATION_H_
