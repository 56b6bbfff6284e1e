#include "sys/file_ops.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>

#include "sys/control_sum.h"
#include "sys/sha256.h"
#include "sys/descriptor.h"
#include "sys/path_name.h"
#include "sys/run_error.h"
#include "sys/temporary_file.h"

namespace {

constexpr size_t kBlockSize = size_t{1} << 20;
// The system call number of fchmodat2, which the C library of this platform does not wrap yet.
constexpr long kFchmodat2 = 452;

[[noreturn]] void FailWrite(const std::string& destination) {
  Fail("fwrite(%s): %s", destination.c_str(), "Write error, disk full?");
}

/// Scopes of CDirectoryReuse in force; copies open their directory afresh when there is none.
std::atomic<int> reuseScopes{0};
/// Bumped whenever a directory may have been replaced at its path; an open directory of an older
/// generation is opened afresh.
std::atomic<uint64_t> directoryGeneration{0};

/// The directory that this thread made its last copy in, kept open for the next copy into the same
/// directory: the files of a directory mostly come in a row, and each one then spares an open and a close.
class CDirectoryInUse {
 public:
  /// A descriptor of the directory at path, valid until the next call; -1 with errno when it cannot be
  /// opened. fresh tells whether it was opened by this call.
  int Open(const std::string& path, bool& fresh) {
    uint64_t current = directoryGeneration.load(std::memory_order_acquire);
    fresh = !(descriptor.Valid() && generation == current && this->path == path);
    if (!fresh)
      return descriptor.Get();
    descriptor.Reset(open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    this->path = path;
    generation = current;
    return descriptor.Get();
  }
  /// Lets go of the directory held.
  void Close() { descriptor.Reset(-1); }

 private:
  std::string path;
  uint64_t generation = 0;
  CDescriptor descriptor;
};

thread_local CDirectoryInUse directoryInUse;

/// Lets the kernel move the bytes (reflink, or in-kernel copy) where source and target allow it. True when
/// the whole file went that way; otherwise the caller goes on with read and write from the offsets reached,
/// which also gives read errors their own message.
bool CopyInKernel(int from, int to, const std::string& destination, uint64_t& copiedTotal) {
  struct stat status {};
  // Files of special file systems may claim length 0 and still have content; read and write handle them.
  if (fstat(from, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size == 0)
    return false;
  off_t total = 0;
  for (;;) {
    ssize_t copied = copy_file_range(from, nullptr, to, nullptr, size_t{1} << 30, 0);
    if (copied > 0) {
      total += copied;
      copiedTotal += static_cast<uint64_t>(copied);
      // The length fstat gave has come across: asking once more would only confirm the end, at the
      // price of a system call per file.
      if (total >= status.st_size)
        return true;
      continue;
    }
    if (copied == 0)
      return false;  // less than the length said: let read confirm the end
    int err = errno;
    if (err == EINTR)
      continue;
    if (err == ENOSPC || err == EDQUOT || err == EFBIG)
      FailWrite(destination);
    return false;
  }
}

/// Copies by read and write from the offsets reached; each block goes through the sums given on its way.
void CopyByBlocks(int from, int to, const std::string& source, const std::string& destination, uint64_t& copiedTotal,
                  IControlSum* sum = nullptr, IControlSum* secondSum = nullptr) {
  std::unique_ptr<char[]> block(new char[kBlockSize]);
  for (;;) {
    ssize_t got = ReadRetrying(from, block.get(), kBlockSize);
    if (got < 0)
      FailErrno(errno, "fread(%s)", source.c_str());
    if (got == 0)
      return;
    if (sum)
      sum->Update(block.get(), static_cast<size_t>(got));
    if (secondSum)
      secondSum->Update(block.get(), static_cast<size_t>(got));
    if (!WriteAll(to, block.get(), static_cast<size_t>(got)))
      FailWrite(destination);
    copiedTotal += static_cast<uint64_t>(got);
  }
}

/// Gives an open copy its owner, mode and times; the messages name the path the copy is meant for.
void SetDescriptorAttributes(int fd, const std::string& destination, const CopyAttributes& attributes) {
  // The owner comes first: changing it clears set-user-ID and set-group-ID, which the mode then sets.
  if (fchown(fd, attributes.user, attributes.group) != 0)
    FailErrno(errno, "Cannot chown %s", destination.c_str());
  if (fchmod(fd, static_cast<mode_t>(attributes.mode)) != 0)
    FailErrno(errno, "chmod(%s)", destination.c_str());
  if (attributes.setTimes) {
    const struct timespec times[2] = {{static_cast<time_t>(attributes.mtime), 0},
                                      {static_cast<time_t>(attributes.mtime), 0}};
    if (futimens(fd, times) != 0)
      FailErrno(errno, "Cannot set access times of %s", destination.c_str());
  }
}

/// The tracker of the run in progress, nullptr outside one; its state behind its own lock.
std::atomic<CChangeTracker*> activeTracker{nullptr};

/// Opens the directory of destination (or the one this thread keeps open, inside a run), makes a temporary
/// file there that fill writes, gives it its attributes and renames it over destination. Every step works
/// relative to that directory, so the temporary file, the rename and the cleanup all happen in the same
/// place even if a component of the path is replaced meanwhile. installed, when given, gets the status of
/// the file under its new name.
/// The directory that destination is to be put in, open (the one this thread keeps open, inside a run, or
/// ownDirectory), with destination's last component in name.
int OpenDestinationDirectory(const std::string& destination, CDescriptor& ownDirectory, std::string& name) {
  size_t slash = destination.rfind('/');
  std::string directoryPath = slash == std::string::npos ? "." : slash == 0 ? "/" : destination.substr(0, slash);
  name = slash == std::string::npos ? destination : destination.substr(slash + 1);
  const bool reuse = reuseScopes.load(std::memory_order_relaxed) != 0;
  bool fresh = true;
  if (!reuse)
    ownDirectory.Reset(open(directoryPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  const int directory = reuse ? directoryInUse.Open(directoryPath, fresh) : ownDirectory.Get();
  if (directory < 0)
    FailErrno(errno, "fopen(%s)", destination.c_str());
  if (fresh)
    if (CChangeTracker* tracker = activeTracker.load(std::memory_order_acquire))
      tracker->CopyingInto(directory, directoryPath);
  return directory;
}

template <typename Fill>
void ReplaceWithTemporary(const std::string& destination, const CopyAttributes* attributes, bool synced,
                          struct stat* installed, Fill fill) {
  CDescriptor ownDirectory;
  std::string name;
  const int directory = OpenDestinationDirectory(destination, ownDirectory, name);
  int err = 0;
  std::unique_ptr<CTemporaryFile> temporary = CTemporaryFile::Create(directory, name, 0600, err);
  if (!temporary)
    FailErrno(err, "fopen(%s)", destination.c_str());
  fill(temporary->Descriptor());
  if (attributes)
    SetDescriptorAttributes(temporary->Descriptor(), destination, *attributes);
  // Some file systems report a failed write only when the data is flushed or the file closed.
  if (synced && fsync(temporary->Descriptor()) != 0)
    FailWrite(destination);
  if (temporary->Close() != 0)
    FailWrite(destination);
  if (temporary->RenameTo(name) != 0)
    FailErrno(errno, "fopen(%s)", destination.c_str());
  // Looked at through the same directory right away: this is the state in which the content is known.
  if (installed && fstatat(directory, name.c_str(), installed, AT_SYMLINK_NOFOLLOW) != 0)
    *installed = {};
  if (synced) {
    CDescriptor listing(openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listing.Valid() || fsync(listing.Get()) != 0)
      FailWrite(destination);
  }
}

uint64_t CopyFileAndSet(const std::string& source, const std::string& destination, const CopyAttributes* attributes,
                        bool synced, struct stat* installed = nullptr) {
  // A device in the repository, or a link to one, is never opened: opening one can have effects of its own
  // (a watchdog), and an endless one would fill the disk before any sum could fail.
  struct stat status;
  if (stat(source.c_str(), &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode))
    FailErrno(ENODEV, "fopen(%s)", source.c_str());
  // O_NONBLOCK and O_NOCTTY: a FIFO or a terminal swapped in meanwhile must neither stop nor capture the run.
  CDescriptor from(open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!from.Valid())
    FailErrno(errno, "fopen(%s)", source.c_str());
  uint64_t copied = 0;
  ReplaceWithTemporary(destination, attributes, synced, installed, [&](int to) {
    if (attributes && !attributes->expectedDigest.empty()) {
      // The sum is taken of the very bytes written, before the copy can take the destination's name: a
      // damaged repository must never become the installation.
      CControlSumMD5 sum;
      if (attributes->expectedSha256.empty()) {
        CopyByBlocks(from.Get(), to, source, destination, copied, &sum);
      } else {
        CControlSumSHA256 sha256;
        CopyByBlocks(from.Get(), to, source, destination, copied, &sum, &sha256);
        RequireSha256(source, sha256.HexDigest(), attributes->expectedSha256);
      }
      RequireControlSum(source, sum.HexDigest(), attributes->expectedDigest);
    } else if (!CopyInKernel(from.Get(), to, destination, copied)) {
      CopyByBlocks(from.Get(), to, source, destination, copied);
    }
  });
  return copied;
}

}  // namespace

CDirectoryReuse::CDirectoryReuse() {
  ForgetOpenDirectories();
  ++reuseScopes;
}

CDirectoryReuse::~CDirectoryReuse() {
  --reuseScopes;
  ForgetOpenDirectories();
  directoryInUse.Close();
}

bool CDirectoryReuse::MayReplaceDirectory(const std::string& name) {
  std::string normal;
  // A ".." may lead through any directory; a name that was a directory of earlier copies may be a link to
  // one, which this copy replaces.
  bool replaces = !NormalisePath(name, normal) || directories.count(normal) != 0;
  // The name becomes its parent, then the parent's parent, each remembered as a directory.
  for (size_t slash = normal.rfind('/'); slash != std::string::npos; slash = normal.rfind('/')) {
    normal.resize(slash);
    if (!directories.insert(normal).second)
      break;  // its own parents went in with it
  }
  return replaces;
}

void ForgetOpenDirectories() { directoryGeneration.fetch_add(1, std::memory_order_release); }

bool PathExists(const std::string& path, struct stat& status) { return lstat(path.c_str(), &status) == 0; }

uid_t UserId(const std::string& name) {
  const struct passwd* entry = getpwnam(name.c_str());
  if (!entry)
    Fail("User %s not found, please reinstall Velmira", name.c_str());
  return entry->pw_uid;
}

gid_t GroupId(const std::string& name) {
  const struct group* entry = getgrnam(name.c_str());
  if (!entry)
    Fail("Group %s not found, please reinstall Velmira", name.c_str());
  return entry->gr_gid;
}

std::string ReadLink(const std::string& path) {
  return ReadLinkAt(AT_FDCWD, path, path);
}

std::string ReadLinkAt(int directory, const std::string& name, const std::string& shown, uint64_t sizeHint) {
  // One byte more than expected, so that a full buffer shows a text that may be longer and is read again.
  std::string text(std::max<uint64_t>(sizeHint, 255) + 1, '\0');
  for (;;) {
    ssize_t got = readlinkat(directory, name.c_str(), text.data(), text.size());
    if (got < 0)
      FailErrno(errno, "readlink(%s)", shown.c_str());
    if (static_cast<size_t>(got) < text.size()) {
      text.resize(static_cast<size_t>(got));
      return text;
    }
    text.resize(text.size() * 2);
  }
}

void SetMode(const std::string& path, uint32_t mode) {
  // The system call itself refuses to follow a link at path, so a link swapped in after any check
  // cannot redirect the change; Linux gives links no mode of their own, so there is nothing to set.
  // Kernels from 6.6 on take the flag in fchmodat2 directly; older ones need the C library's way
  // through /proc, which a chroot may lack. A sandbox that filters system calls it does not know may
  // answer EPERM instead of ENOSYS; a real refusal gives EPERM again on the second try.
  long result = syscall(kFchmodat2, AT_FDCWD, path.c_str(), static_cast<mode_t>(mode), AT_SYMLINK_NOFOLLOW);
  if (result != 0 && (errno == ENOSYS || errno == EPERM))
    result = fchmodat(AT_FDCWD, path.c_str(), static_cast<mode_t>(mode), AT_SYMLINK_NOFOLLOW);
  if (result == 0)
    return;
  int err = errno;
  // The C library answers EOPNOTSUPP for a link, but also when it cannot reach /proc to change a
  // file that is not one; only the first is the link left alone.
  struct stat status {};
  if (err == EOPNOTSUPP && lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode))
    return;
  FailErrno(err, "chmod(%s)", path.c_str());
}

void SetOwner(const std::string& path, const std::string& owner, const std::string& groupName) {
  gid_t group = GroupId(groupName);
  uid_t user = UserId(owner);
  SetOwnerIds(path, user, group);
}

void SetOwnerIds(const std::string& path, uid_t user, gid_t group) {
  if (lchown(path.c_str(), user, group) != 0)
    FailErrno(errno, "Cannot chown %s", path.c_str());
}

void SetTimes(const std::string& path, int64_t time) {
  const struct timespec times[2] = {{static_cast<time_t>(time), 0}, {static_cast<time_t>(time), 0}};
  if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    FailErrno(errno, "Cannot set access times of %s", path.c_str());
}

void MakeDir(const std::string& path, uint32_t mode) {
  if (mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0)
    FailErrno(errno, "mkdir(%s)", path.c_str());
}

void InstallBytes(const std::string& bytes, const std::string& destination, const CopyAttributes& attributes) {
  ReplaceWithTemporary(destination, &attributes, true, nullptr, [&](int to) {
    if (!WriteAll(to, bytes.data(), bytes.size()))
      FailWrite(destination);
  });
}

namespace {

/// chmod of the file that handle (O_PATH) stands for; 0, or -1 with errno.
int ChangeModeByHandle(int handle, uint32_t mode) {
  long result = syscall(kFchmodat2, handle, "", static_cast<mode_t>(mode), AT_EMPTY_PATH);
  if (result == 0 || (errno != ENOSYS && errno != EPERM && errno != EINVAL))
    return static_cast<int>(result);
  // Kernels before 6.6 change a handle's file only through its name in /proc.
  std::string name = "/proc/self/fd/" + std::to_string(handle);
  return chmod(name.c_str(), static_cast<mode_t>(mode));
}

}  // namespace

namespace {

/// A handle (O_PATH) of what stands at path, taken without following a link and without opening a device;
/// the change made through it never reaches anything swapped in at path after the check. Refuses a file
/// with another name: it may be anyone's, and the change would reach it through a name we do not own.
int OpenUnshared(const std::string& path, struct stat& status) {
  CDescriptor handle(open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!handle.Valid() || fstat(handle.Get(), &status) != 0)
    FailErrno(errno, "chmod(%s)", path.c_str());
  RefuseSharedFile(path, status);
  return handle.Release();
}

void ChangeOwnerByHandle(int handle, const std::string& path, uid_t user, gid_t group) {
  if (fchownat(handle, "", user, group, AT_EMPTY_PATH) != 0)
    FailErrno(errno, "Cannot chown %s", path.c_str());
}

}  // namespace

void RefuseSharedFile(const std::string& path, const struct stat& status) {
  if (!S_ISDIR(status.st_mode) && status.st_nlink > 1)
    Fail("%s has %ju hard links: refusing to change the owner or mode of a file that other names share",
         path.c_str(), static_cast<uintmax_t>(status.st_nlink));
}

void ChangeModeAndOwnerInPlace(const std::string& path, uid_t user, gid_t group, uint32_t mode) {
  struct stat status {};
  CDescriptor handle(OpenUnshared(path, status));
  const bool link = S_ISLNK(status.st_mode);  // Linux gives a link no mode of its own
  if (!link && ChangeModeByHandle(handle.Get(), mode) != 0)
    FailErrno(errno, "chmod(%s)", path.c_str());
  ChangeOwnerByHandle(handle.Get(), path, user, group);
  // Changing the owner makes the kernel clear set-user-ID and set-group-ID, even for root.
  if (!link && (mode & (S_ISUID | S_ISGID)) && ChangeModeByHandle(handle.Get(), mode) != 0)
    FailErrno(errno, "chmod(%s)", path.c_str());
}

void ChangeOwnerInPlace(const std::string& path, uid_t user, gid_t group) {
  struct stat status {};
  CDescriptor handle(OpenUnshared(path, status));
  ChangeOwnerByHandle(handle.Get(), path, user, group);
}

CChangeTracker::CChangeTracker(const std::string& basedir) : basedir(basedir) {
  struct stat status;
  baseKnown = stat(basedir.c_str(), &status) == 0;
  baseDevice = status.st_dev;
  activeTracker.store(this, std::memory_order_release);
}

CChangeTracker::~CChangeTracker() { activeTracker.store(nullptr, std::memory_order_release); }

template <typename Open>
void CChangeTracker::Note(dev_t device, const std::string& path, Open open) {
  std::lock_guard<std::mutex> hold(lock);
  if (baseKnown && device == baseDevice)
    return;
  for (const auto& known : fileSystems)
    if (known->device == device)
      return;
  int descriptor = open();
  if (descriptor >= 0)
    fileSystems.push_back(std::make_unique<FileSystem>(device, path, descriptor));
}

void CChangeTracker::CopyingInto(int directory, const std::string& path) {
  {
    std::lock_guard<std::mutex> hold(lock);
    if (!visited.insert(path).second)
      return;
  }
  // The base directory is locked, so no other run writes temporary files here: those there are stale.
  RemoveStaleTemporaryFiles(directory);
  struct stat status;
  if (fstat(directory, &status) == 0)
    Note(status.st_dev, path, [&] { return openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
}

void CChangeTracker::Changed(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0)
    return;
  Note(status.st_dev, path, [&] {
    if (S_ISDIR(status.st_mode))
      return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    // A link or a file is flushed with the directory that holds it, on the same file system.
    size_t slash = path.rfind('/');
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    return open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  });
}

void CChangeTracker::SyncAll() {
  SyncFileSystem(basedir);
  std::lock_guard<std::mutex> hold(lock);
  for (const auto& fileSystem : fileSystems) {
    if (syncfs(fileSystem->directory.Get()) != 0)
      FailErrno(errno, "syncfs(%s)", fileSystem->path.c_str());
  }
}

void NoteChangedPath(const std::string& path) {
  if (CChangeTracker* tracker = activeTracker.load(std::memory_order_acquire))
    tracker->Changed(path);
}

void SyncChangedFileSystems(const std::string& path) {
  if (CChangeTracker* tracker = activeTracker.load(std::memory_order_acquire))
    tracker->SyncAll();
  else
    SyncFileSystem(path);
}

void RequireControlSum(const std::string& source, const std::string& digest, const std::string& expected) {
  if (strcasecmp(digest.c_str(), expected.c_str()) != 0)
    Fail("%s: The content's control sum is %s, the table gives %s", source.c_str(), digest.c_str(), expected.c_str());
}

void RequireSha256(const std::string& source, const std::string& digest, const std::string& expected) {
  if (digest != expected)
    Fail("%s: The content's SHA-256 is %s, SHA256SUMS gives %s", source.c_str(), digest.c_str(), expected.c_str());
}

void CopyFile(const std::string& source, const std::string& destination, bool synced) {
  CopyFileAndSet(source, destination, nullptr, synced);
}

uint64_t CopyFileWithAttributes(const std::string& source, const std::string& destination,
                                const CopyAttributes& attributes, bool synced, struct stat* installed) {
  return CopyFileAndSet(source, destination, &attributes, synced, installed);
}

bool MoveFileWithAttributes(const std::string& source, const std::string& destination,
                            const CopyAttributes& attributes, struct stat* installed) {
  CDescriptor file(open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat status;
  if (!file.Valid() || fstat(file.Get(), &status) != 0)
    FailErrno(errno, "fopen(%s)", source.c_str());
  if (!S_ISREG(status.st_mode))
    FailErrno(ENODEV, "fopen(%s)", source.c_str());
  CDescriptor ownDirectory;
  std::string name;
  const int directory = OpenDestinationDirectory(destination, ownDirectory, name);
  // Across file systems the object is copied, and must be left as it was for that.
  struct stat directoryStatus;
  if (fstat(directory, &directoryStatus) != 0 || directoryStatus.st_dev != status.st_dev)
    return false;
  try {
    SetDescriptorAttributes(file.Get(), destination, attributes);
    if (renameat(AT_FDCWD, source.c_str(), directory, name.c_str()) != 0)
      FailErrno(errno, "fopen(%s)", destination.c_str());
  } catch (const RunError&) {
    // An object given the installed attributes may be unreadable for the next run's check: it is fetched anew.
    unlink(source.c_str());
    throw;
  }
  if (installed && fstatat(directory, name.c_str(), installed, AT_SYMLINK_NOFOLLOW) != 0)
    *installed = {};
  return true;
}

void SyncFileSystem(const std::string& path) {
  CDescriptor directory(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory.Valid())
    FailErrno(errno, "syncfs(%s)", path.c_str());
  if (syncfs(directory.Get()) != 0)
    FailErrno(errno, "syncfs(%s)", path.c_str());
}
