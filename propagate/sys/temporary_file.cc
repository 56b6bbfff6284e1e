#include "sys/temporary_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "sys/descriptor.h"

namespace {

constexpr char kTemporaryMark[] = ".propagate-";
constexpr size_t kMarkLength = sizeof(kTemporaryMark) - 1;
constexpr size_t kSuffixLength = 6;
// Keeps ".<stem>.propagate-XXXXXX" within NAME_MAX (255) whatever the length of the stem.
constexpr size_t kStemRoom = 255 - 1 - kMarkLength - kSuffixLength;
constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

/// The name generator: seeded once per process from the kernel's entropy, then stepped per name, so that a tree of many
/// files does not pay a getrandom call for each. Atomic, because copies run on several threads.
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

std::string TemporaryName(std::string_view stem) {
  std::string name = "." + std::string(stem.substr(0, kStemRoom)) + kTemporaryMark;
  uint64_t bits = NextRandom();
  for (size_t i = 0; i < kSuffixLength; ++i, bits /= 62)
    name += kLetters[bits % 62];
  return name;
}

/// The temporary files that exist, by name, with the directory each is in, behind liveLock. A file is made and entered
/// while its maker holds the gate shared, so that makers on several threads never wait for each other; a sweep for
/// stale files, and the removal before a signalled exit, hold the gate alone, and so never miss a file of this
/// process's nor take one for stale.
std::shared_mutex gate;
std::mutex liveLock;
std::unordered_multimap<std::string, int> live;

void Forget(const std::string& name, int directory) {
  std::lock_guard<std::mutex> hold(liveLock);
  auto [first, last] = live.equal_range(name);
  for (auto found = first; found != last; ++found) {
    if (found->second == directory) {
      live.erase(found);
      return;
    }
  }
}

}  // namespace

std::unique_ptr<CTemporaryFile> CTemporaryFile::Create(int directory, std::string_view stem, mode_t mode, int& error) {
  for (unsigned attempt = 0;; ++attempt) {
    std::string name = TemporaryName(stem);
    std::shared_lock<std::shared_mutex> making(gate);
    int fd = openat(directory, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) {
      std::lock_guard<std::mutex> hold(liveLock);
      live.emplace(name, directory);
      return std::unique_ptr<CTemporaryFile>(new CTemporaryFile(directory, std::move(name), fd));
    }
    error = errno;
    if (error != EEXIST || attempt >= 100)
      return nullptr;
  }
}

CTemporaryFile::CTemporaryFile(int directory, std::string name, int descriptor)
    : directory(directory), name(std::move(name)), descriptor(descriptor) {}

CTemporaryFile::~CTemporaryFile() {
  if (descriptor >= 0)
    close(descriptor);
  if (!name.empty()) {
    unlinkat(directory, name.c_str(), 0);
    Forget(name, directory);
  }
}

int CTemporaryFile::Descriptor() const {
  return descriptor;
}

int CTemporaryFile::Close() {
  int result = close(descriptor);
  descriptor = -1;
  return result;
}

int CTemporaryFile::RenameTo(const std::string& final) {
  if (renameat(directory, name.c_str(), directory, final.c_str()) != 0)
    return -1;
  Forget(name, directory);
  name.clear();
  return 0;
}

bool IsTemporaryName(std::string_view name) {
  const size_t tail = kMarkLength + kSuffixLength;
  if (name.size() < 2 + tail || name[0] != '.' || name.substr(name.size() - tail, kMarkLength) != kTemporaryMark)
    return false;
  for (char letter : name.substr(name.size() - kSuffixLength))
    if (!((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z') || (letter >= '0' && letter <= '9')))
      return false;
  return true;
}

void RemoveStaleTemporaryFiles(int directory) {
  CDescriptor listing(openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!listing.Valid())
    return;
  // The directory stream takes the descriptor over; the listing is read whole before anything is removed.
  DIR* stream = fdopendir(listing.Get());
  if (!stream)
    return;
  CDirectoryStream owned(stream);
  listing.Release();
  std::vector<std::string> candidates;
  while (const struct dirent* entry = readdir(stream))
    if ((entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN) && IsTemporaryName(entry->d_name))
      candidates.emplace_back(entry->d_name);
  if (candidates.empty())
    return;
  std::unique_lock<std::shared_mutex> alone(gate);
  std::lock_guard<std::mutex> hold(liveLock);
  for (const std::string& name : candidates) {
    if (live.count(name) != 0)
      continue;
    struct stat status;
    if (fstatat(dirfd(stream), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode))
      unlinkat(dirfd(stream), name.c_str(), 0);
  }
}

void RemoveTemporaryFilesNow() {
  // Never unlocked: the process ends without unwinding, and no thread may make another file meanwhile.
  gate.lock();
  liveLock.lock();
  for (const auto& [name, directory] : live)
    unlinkat(directory, name.c_str(), 0);
}
