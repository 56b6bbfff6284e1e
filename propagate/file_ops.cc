#include "file_ops.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

#include "descriptor.h"
#include "path_name.h"
#include "run_error.h"

namespace {

/// A temporary file in an open directory: removed when the object goes away, unless it was renamed.
class CTemporaryFile {
 public:
  CTemporaryFile(int directory, std::string name, int descriptor)
      : directory(directory), name(std::move(name)), file(descriptor) {}
  ~CTemporaryFile() {
    if (file.Valid())
      file.Close();
    if (!name.empty())
      unlinkat(directory, name.c_str(), 0);
  }
  CTemporaryFile(const CTemporaryFile&) = delete;
  CTemporaryFile& operator=(const CTemporaryFile&) = delete;

  int Descriptor() const { return file.Get(); }
  int Close() { return file.Close(); }
  const std::string& Name() const { return name; }
  /// The file now has another name; there is nothing left to remove.
  void Released() { name.clear(); }

 private:
  int directory;
  std::string name;
  CDescriptor file;
};

constexpr size_t kBlockSize = size_t{1} << 20;
constexpr char kTemporaryMark[] = ".propagate-";
// Keeps ".<name>.propagate-XXXXXX" within NAME_MAX (255) whatever the length of the destination's name.
constexpr size_t kNameRoom = 255 - 1 - (sizeof(kTemporaryMark) - 1) - 6;
constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

[[noreturn]] void FailWrite(const std::string& destination) {
  Fail("fwrite(%s): %s", destination.c_str(), "Write error, disk full?");
}

/// The name generator: seeded once per run from the kernel's entropy, then stepped per name, so that a tree
/// of many files does not pay a getrandom call for each. Atomic, because copies run on several threads.
uint64_t NextRandom() {
  static std::atomic<uint64_t> state{[] {
    uint64_t seed = 0;
    if (getrandom(&seed, sizeof(seed), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(seed))) {
      // Without entropy the names are only less random: O_EXCL still makes each one ours.
      struct timespec now {};
      clock_gettime(CLOCK_MONOTONIC, &now);
      seed = static_cast<uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15ULL ^ static_cast<uint64_t>(getpid()) << 32;
    }
    return seed;
  }()};
  // splitmix64: every step gives a well-mixed 64-bit value, and the sequence does not repeat for 2^64 steps.
  uint64_t bits = state.fetch_add(0x9E3779B97F4A7C15ULL, std::memory_order_relaxed) + 0x9E3779B97F4A7C15ULL;
  bits = (bits ^ (bits >> 30)) * 0xBF58476D1CE4E5B9ULL;
  bits = (bits ^ (bits >> 27)) * 0x94D049BB133111EBULL;
  return bits ^ (bits >> 31);
}

/// Six characters that make a temporary name unlikely to be taken; collisions are retried anyway.
std::string RandomSuffix() {
  uint64_t bits = NextRandom();
  std::string suffix;
  for (int i = 0; i < 6; ++i, bits /= 62)
    suffix += kLetters[bits % 62];
  return suffix;
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
  /// opened.
  int Open(const std::string& path) {
    uint64_t current = directoryGeneration.load(std::memory_order_acquire);
    if (descriptor.Valid() && generation == current && this->path == path)
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

/// Writes all of data, through EINTR and short writes; false when the file takes no more.
bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

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

void CopyByBlocks(int from, int to, const std::string& source, const std::string& destination,
                  uint64_t& copiedTotal) {
  std::unique_ptr<char[]> block(new char[kBlockSize]);
  for (;;) {
    ssize_t got = ReadRetrying(from, block.get(), kBlockSize);
    if (got < 0) {
      int err = errno;
      Fail("fread(%s): %s", source.c_str(), strerror(err));
    }
    if (got == 0)
      return;
    if (!WriteAll(to, block.get(), static_cast<size_t>(got)))
      FailWrite(destination);
    copiedTotal += static_cast<uint64_t>(got);
  }
}

/// Gives an open copy its owner, mode and times; the messages name the path the copy is meant for.
void SetDescriptorAttributes(int fd, const std::string& destination, const CopyAttributes& attributes) {
  // The owner comes first: changing it clears set-user-ID and set-group-ID, which the mode then sets.
  if (fchown(fd, attributes.user, attributes.group) != 0) {
    int err = errno;
    Fail("Cannot chown %s: %s", destination.c_str(), strerror(err));
  }
  if (fchmod(fd, static_cast<mode_t>(attributes.mode)) != 0) {
    int err = errno;
    Fail("chmod(%s): %s", destination.c_str(), strerror(err));
  }
  if (attributes.setTimes) {
    const struct timespec times[2] = {{static_cast<time_t>(attributes.mtime), 0},
                                      {static_cast<time_t>(attributes.mtime), 0}};
    if (futimens(fd, times) != 0) {
      int err = errno;
      Fail("Cannot set access times of %s: %s", destination.c_str(), strerror(err));
    }
  }
}

uint64_t CopyFileAndSet(const std::string& source, const std::string& destination, const CopyAttributes* attributes,
                        bool synced) {
  // O_NONBLOCK and O_NOCTTY: a FIFO or a terminal in the repository must neither stop nor capture the run.
  CDescriptor from(open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!from.Valid()) {
    int err = errno;
    Fail("fopen(%s): %s", source.c_str(), strerror(err));
  }

  size_t slash = destination.rfind('/');
  std::string directoryPath = slash == std::string::npos ? "." : slash == 0 ? "/" : destination.substr(0, slash);
  std::string name = slash == std::string::npos ? destination : destination.substr(slash + 1);
  // Every later step works relative to this directory, so the temporary file, the rename and the cleanup
  // all happen in the same place even if a component of the path is replaced meanwhile.
  const bool reuse = reuseScopes.load(std::memory_order_relaxed) != 0;
  CDescriptor ownDirectory;
  if (!reuse)
    ownDirectory.Reset(open(directoryPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  const int directory = reuse ? directoryInUse.Open(directoryPath) : ownDirectory.Get();
  if (directory < 0) {
    int err = errno;
    Fail("fopen(%s): %s", destination.c_str(), strerror(err));
  }

  std::unique_ptr<CTemporaryFile> temporary;
  for (unsigned attempt = 0; !temporary; ++attempt) {
    std::string temporaryName = "." + name.substr(0, kNameRoom) + kTemporaryMark + RandomSuffix();
    int fd = openat(directory, temporaryName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0600);
    if (fd >= 0) {
      temporary = std::make_unique<CTemporaryFile>(directory, temporaryName, fd);
      break;
    }
    int err = errno;
    if (err != EEXIST || attempt >= 100)
      Fail("fopen(%s): %s", destination.c_str(), strerror(err));
  }

  uint64_t copied = 0;
  if (!CopyInKernel(from.Get(), temporary->Descriptor(), destination, copied))
    CopyByBlocks(from.Get(), temporary->Descriptor(), source, destination, copied);
  if (attributes)
    SetDescriptorAttributes(temporary->Descriptor(), destination, *attributes);
  // Some file systems report a failed write only when the data is flushed or the file closed.
  if (synced && fsync(temporary->Descriptor()) != 0)
    FailWrite(destination);
  if (temporary->Close() != 0)
    FailWrite(destination);

  if (renameat(directory, temporary->Name().c_str(), directory, name.c_str()) != 0) {
    int err = errno;
    Fail("fopen(%s): %s", destination.c_str(), strerror(err));
  }
  temporary->Released();

  if (synced) {
    CDescriptor listing(openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listing.Valid() || fsync(listing.Get()) != 0)
      FailWrite(destination);
  }
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
  char text[4096];
  ssize_t length = readlink(path.c_str(), text, sizeof(text) - 1);
  if (length < 0) {
    int err = errno;
    Fail("readlink(%s): %s", path.c_str(), strerror(err));
  }
  return std::string(text, static_cast<size_t>(length));
}

// The system call number of fchmodat2, which the C library of this platform does not wrap yet.
constexpr long kFchmodat2 = 452;

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
  Fail("chmod(%s): %s", path.c_str(), strerror(err));
}

void SetOwner(const std::string& path, const TableEntry& entry) {
  gid_t group = GroupId(entry.group);
  uid_t user = UserId(entry.owner);
  SetOwnerIds(path, user, group);
}

void SetOwnerIds(const std::string& path, uid_t user, gid_t group) {
  if (lchown(path.c_str(), user, group) != 0) {
    int err = errno;
    Fail("Cannot chown %s: %s", path.c_str(), strerror(err));
  }
}

void SetTimes(const std::string& path, int64_t time) {
  const struct timespec times[2] = {{static_cast<time_t>(time), 0}, {static_cast<time_t>(time), 0}};
  if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    int err = errno;
    Fail("Cannot set access times of %s: %s", path.c_str(), strerror(err));
  }
}

void MakeDir(const std::string& path, uint32_t mode) {
  if (mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0) {
    int err = errno;
    Fail("mkdir(%s): %s", path.c_str(), strerror(err));
  }
}

void CopyFile(const std::string& source, const std::string& destination, bool synced) {
  CopyFileAndSet(source, destination, nullptr, synced);
}

uint64_t CopyFileWithAttributes(const std::string& source, const std::string& destination,
                                const CopyAttributes& attributes, bool synced) {
  return CopyFileAndSet(source, destination, &attributes, synced);
}

void SyncFileSystem(const std::string& path) {
  CDescriptor directory(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory.Valid()) {
    int err = errno;
    Fail("syncfs(%s): %s", path.c_str(), strerror(err));
  }
  if (syncfs(directory.Get()) != 0) {
    int err = errno;
    Fail("syncfs(%s): %s", path.c_str(), strerror(err));
  }
}
