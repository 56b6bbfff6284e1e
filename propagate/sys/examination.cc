#include "sys/examination.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "sys/control_sum.h"
#include "sys/descriptor.h"
#include "sys/run_error.h"

struct timespec FileClockNow() {
  struct timespec now {};
  // File times come from the coarse clock; reading the fine one could give a time that a change made
  // afterwards in the same tick would still precede.
  clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return now;
}

std::string RelativeName(const std::string& name) {
  if (!name.empty() && name[0] == '/')
    return "." + name;
  return name;
}

PathState StateOf(const struct stat& status) {
  PathState state;
  state.exists = true;
  state.mode = status.st_mode;
  state.user = status.st_uid;
  state.group = status.st_gid;
  state.mtime = status.st_mtime;
  state.mtimeNanoseconds = status.st_mtim.tv_nsec;
  state.ctime = status.st_ctime;
  state.ctimeNanoseconds = status.st_ctim.tv_nsec;
  state.size = static_cast<uint64_t>(status.st_size);
  state.device = status.st_dev;
  state.inode = status.st_ino;
  state.links = static_cast<uint64_t>(status.st_nlink);
  return state;
}

PathState ExaminePath(int directory, const std::string& name, bool withTarget) {
  PathState state;
  const std::string relative = directory == AT_FDCWD ? name : RelativeName(name);
  struct stat status;
  if (fstatat(directory, relative.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    state.error = errno;
    return state;
  }
  state = StateOf(status);
  if (withTarget && S_ISLNK(status.st_mode)) {
    // A link's text is at most PATH_MAX - 1 bytes on Linux; one byte more shows a text cut short.
    std::string text(4096, '\0');
    ssize_t length = readlinkat(directory, relative.c_str(), text.data(), text.size() - 1);
    if (length >= 0)
      state.target.assign(text.data(), static_cast<size_t>(length));
    else
      state.targetError = errno;
  }
  return state;
}

std::optional<std::string> ControlSumAt(int directory, const std::string& name, const std::string& shown,
                                        const ContentOpening& opening, PathState& opened,
                                        std::vector<unsigned char>& buffer) {
  // O_NONBLOCK: a FIFO swapped in since the examination opens without waiting for a writer.
  const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (opening.followLink ? 0 : O_NOFOLLOW);
  int descriptor = openat(directory, name.c_str(), flags | (opening.noAccessTime ? O_NOATIME : 0));
  // O_NOATIME needs ownership or privilege; without either the file is still read.
  if (descriptor < 0 && errno == EPERM && opening.noAccessTime)
    descriptor = openat(directory, name.c_str(), flags);
  CDescriptor file(descriptor);
  if (!file.Valid()) {
    if (opening.examined && (errno == ENOENT || errno == ELOOP))
      return std::nullopt;
    FailErrno(errno, "%s: Cannot open", shown.c_str());
  }
  struct stat status;
  if (fstat(file.Get(), &status) != 0)
    FailErrno(errno, "%s: Cannot stat", shown.c_str());
  opened = StateOf(status);
  if (!S_ISREG(status.st_mode))
    return std::nullopt;
  if (opening.examined && (status.st_dev != opening.examined->device || status.st_ino != opening.examined->inode))
    return std::nullopt;
  return DescriptorControlSum(file.Get(), opened.size, shown, buffer, opening.also);
}
