#include "sys/examination.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

std::string RelativeName(const std::string& name) {
  if (!name.empty() && name[0] == '/')
    return "." + name;
  return name;
}

PathState ExaminePath(int directory, const std::string& name, bool withTarget) {
  PathState state;
  const std::string relative = directory == AT_FDCWD ? name : RelativeName(name);
  struct stat status;
  if (fstatat(directory, relative.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    state.error = errno;
    return state;
  }
  state.exists = true;
  state.mode = status.st_mode;
  state.user = status.st_uid;
  state.group = status.st_gid;
  state.mtime = status.st_mtime;
  state.size = static_cast<uint64_t>(status.st_size);
  state.device = status.st_dev;
  state.inode = status.st_ino;
  state.links = static_cast<uint64_t>(status.st_nlink);
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
