#ifndef PROPAGATE_SYS_FILE_OPS_H_
#define PROPAGATE_SYS_FILE_OPS_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "sys/descriptor.h"


/// lstat of path into status; false when it fails, whatever the cause.
bool PathExists(const std::string& path, struct stat& status);
/// User id of name, looked up afresh; "User %s not found, please reinstall Velmira".
uid_t UserId(const std::string& name);
/// Group id of name, looked up afresh; "Group %s not found, please reinstall Velmira".
gid_t GroupId(const std::string& name);
/// Text of the symbolic link at path: ReadLinkAt from the working directory; "readlink(%s): %s".
std::string ReadLink(const std::string& path);
/// Text of the symbolic link name in the open directory (AT_FDCWD: the working directory), however long;
/// sizeHint (lstat's st_size, which a few file systems give as 0) sizes the first try. "readlink(%s): %s" (shown).
std::string ReadLinkAt(int directory, const std::string& name, const std::string& shown, uint64_t sizeHint = 0);
/// Sets the mode of path, leaving a symbolic link at path alone; "chmod(%s): %s".
void SetMode(const std::string& path, uint32_t mode);
/// Sets owner and group of path (the link itself for a link) from their names, group looked up first;
/// "Cannot chown %s: %s".
void SetOwner(const std::string& path, const std::string& owner, const std::string& group);
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
  /// When not empty, the control sum the copied bytes must have (letters of either case): bytes with another
  /// sum never take the destination's name, "%s: The content's control sum is %s, the table gives %s".
  std::string expectedDigest;
  /// When not empty, the SHA-256 (lower-case hexadecimal) that the copied bytes must have, checked the same
  /// way: "%s: The content's SHA-256 is %s, SHA256SUMS gives %s".
  std::string expectedSha256;
};
/// Fails unless digest (upper case) is expected, compared without regard to case, with the message of a
/// copy of source that has the wrong content.
void RequireControlSum(const std::string& source, const std::string& digest, const std::string& expected);
/// Fails unless digest is expected, the SHA-256 that the release gives, with the message of a copy of source
/// that has the wrong content.
void RequireSha256(const std::string& source, const std::string& digest, const std::string& expected);
/// CopyFile that gives the copy its attributes before the rename and returns the number of bytes copied.
/// Failures of the attribute steps name the destination: "Cannot chown %s: %s", "chmod(%s): %s",
/// "Cannot set access times of %s: %s"; the temporary file is removed and the destination left as it was.
/// installed, when given, gets the status of the copy right after it took the destination's name (zero
/// when it could not be taken).
uint64_t CopyFileWithAttributes(const std::string& source, const std::string& destination,
                                const CopyAttributes& attributes, bool synced = false,
                                struct stat* installed = nullptr);
/// Gives the file at source (a downloaded object, already checked) attributes and renames it to destination,
/// as CopyFileWithAttributes would install a copy, with its messages; false, with source left in place,
/// when the two are on different file systems. A source that is no regular file: "fopen(%s): No such device".
bool MoveFileWithAttributes(const std::string& source, const std::string& destination,
                            const CopyAttributes& attributes, struct stat* installed = nullptr);
/// Installs bytes (the table the run applied) written to a temporary file of the destination's directory,
/// given attributes, flushed, renamed over destination, and the directory flushed. "fopen(%s): %s" and
/// "fwrite(%s): Write error, disk full?" (destination), and the attribute steps' messages.
void InstallBytes(const std::string& bytes, const std::string& destination, const CopyAttributes& attributes);
/// Sets mode, then owner and group, then the mode once more when it has set-user-ID or set-group-ID bits (the
/// owner change clears them), on what stands at path, never through a link there (a link gets only owner
/// and group). Works on one handle of the file, so that nothing swapped in meanwhile gets the change.
/// A file that is not a directory and has more than one hard link is refused before anything changes:
/// "%s has %u hard links: refusing to change the owner or mode of a file that other names share".
/// Otherwise "chmod(%s): %s", "Cannot chown %s: %s".
void ChangeModeAndOwnerInPlace(const std::string& path, uid_t user, gid_t group, uint32_t mode);
/// Fails as ChangeModeAndOwnerInPlace would before changing what stands at path, whose lstat is status.
void RefuseSharedFile(const std::string& path, const struct stat& status);
/// Sets only owner and group of what stands at path, the same way; "Cannot chown %s: %s".
void ChangeOwnerInPlace(const std::string& path, uid_t user, gid_t group);

/// For the length of one run, created and destroyed on the thread that owns it: remembers every file system
/// that the run changes, so that all of them reach the disk before the table that vouches for them, and
/// the first time the run copies into a directory, removes the temporary files that killed runs left there.
/// At most one exists at a time.
class CChangeTracker {
 public:
  /// Starts tracking for the base directory, whose file system is always flushed.
  explicit CChangeTracker(const std::string& basedir);
  ~CChangeTracker();
  CChangeTracker(const CChangeTracker&) = delete;
  CChangeTracker& operator=(const CChangeTracker&) = delete;

  /// Called by copies on any thread when they open a directory (any kind of descriptor) at path.
  void CopyingInto(int directory, const std::string& path);
  /// Notes the file system of what stands at path (not followed), which the run has just changed.
  void Changed(const std::string& path);
  /// Flushes the base directory's file system, then every other one noted (syncfs); "syncfs(%s): %s".
  void SyncAll();

 private:
  /// Keeps a descriptor of the file system of device, opened by open when it is a new one.
  template <typename Open>
  void Note(dev_t device, const std::string& path, Open open);

  struct FileSystem {
    FileSystem(dev_t device, std::string path, int directory)
        : device(device), path(std::move(path)), directory(directory) {}
    dev_t device;
    std::string path;  ///< a directory on it, for messages
    CDescriptor directory;
  };
  const std::string basedir;
  dev_t baseDevice = 0;
  bool baseKnown = false;
  std::mutex lock;
  std::unordered_set<std::string> visited;  ///< directories copied into, as the copies spelt them
  std::vector<std::unique_ptr<FileSystem>> fileSystems;
};
/// Notes path with the tracker of the run in progress, when there is one.
void NoteChangedPath(const std::string& path);
/// Flushes every file system the run in progress changed, or without one the file system of path.
void SyncChangedFileSystems(const std::string& path);

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

#endif  // PROPAGATE_SYS_FILE_OPS_H_
