#ifndef PROPAGATE_FILE_OPS_H_
#define PROPAGATE_FILE_OPS_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <unordered_set>

#include "table_parser.h"

/// lstat of path into status; false when it fails, whatever the cause.
bool PathExists(const std::string& path, struct stat& status);
/// User id of name, looked up afresh; "User %s not found, please reinstall Velmira".
uid_t UserId(const std::string& name);
/// Group id of name, looked up afresh; "Group %s not found, please reinstall Velmira".
gid_t GroupId(const std::string& name);
/// Text of the symbolic link at path, at most 4095 bytes; "readlink(%s): %s".
std::string ReadLink(const std::string& path);
/// Sets the mode of path, leaving a symbolic link at path alone; "chmod(%s): %s".
void SetMode(const std::string& path, uint32_t mode);
/// Sets owner and group of path (the link itself for a link) from the entry, group looked up first;
/// "Cannot chown %s: %s".
void SetOwner(const std::string& path, const TableEntry& entry);
/// Sets access and modification time of path to time, whole seconds (the link itself for a link);
/// "Cannot set access times of %s: %s".
void SetTimes(const std::string& path, int64_t time);
/// Sets owner and group ids of path (the link itself for a link); "Cannot chown %s: %s".
void SetOwnerIds(const std::string& path, uid_t user, gid_t group);
/// mkdir with mode (the umask applies); "mkdir(%s): %s".
void MakeDir(const std::string& path, uint32_t mode);
/// Replaces destination (a symbolic link there included) with a copy of source, made in a temporary file
/// of the destination's directory and renamed over it, so that a failure leaves the destination as it was;
/// the copy has mode 0600 until the caller sets one. "fopen(%s): %s" (source, or destination that cannot
/// be created or replaced), "fread(%s): %s" (source), "fwrite(%s): Write error, disk full?" (destination).
/// With synced, the content is on disk before it takes the destination's name, and the new name is on disk
/// when it returns.
void CopyFile(const std::string& source, const std::string& destination, bool synced = false);

/// What a copy gets through its open descriptor before it takes the destination's name, so that it appears
/// there complete: owner and group first, then the mode (set-user-ID and set-group-ID survive), then times.
struct CopyAttributes {
  uid_t user = 0;
  gid_t group = 0;
  uint32_t mode = 0600;
  bool setTimes = false;  ///< false: the copy keeps the time it was written
  int64_t mtime = 0;      ///< access and modification time when setTimes
};
/// CopyFile that gives the copy its attributes before the rename and returns the number of bytes copied.
/// Failures of the attribute steps name the destination: "Cannot chown %s: %s", "chmod(%s): %s",
/// "Cannot set access times of %s: %s"; the temporary file is removed and the destination left as it was.
uint64_t CopyFileWithAttributes(const std::string& source, const std::string& destination,
                                const CopyAttributes& attributes, bool synced = false);
/// While one exists, each thread keeps the directory of its last copy open and makes its next copy into the
/// same directory through it, instead of opening that directory again. Created, used and destroyed on the
/// thread that owns the run, around the threads that copy for it.
class CDirectoryReuse {
 public:
  CDirectoryReuse();
  /// Lets go of the calling thread's directory; every other thread's is of no more use.
  ~CDirectoryReuse();
  CDirectoryReuse(const CDirectoryReuse&) = delete;
  CDirectoryReuse& operator=(const CDirectoryReuse&) = delete;

  /// Called for each file record before its copy is started, with its name relative to the base directory:
  /// true when that copy may replace a link that earlier copies went through (its name was a directory of
  /// theirs, or holds ".."), and the open directories must be forgotten once it is over. Remembers the
  /// directories of the name.
  bool MayReplaceDirectory(const std::string& name);

 private:
  std::unordered_set<std::string> directories;  ///< directories of the names copied, and their parents
};
/// Copies open the directory of their destination afresh from now on, instead of the one that their thread
/// made its last copy in: call after anything that may have put another directory, or a link, at a path.
void ForgetOpenDirectories();
/// Flushes the whole file system that holds path (syncfs); "syncfs(%s): %s".
void SyncFileSystem(const std::string& path);

#endif  // PROPAGATE_FILE_OPS_H_
