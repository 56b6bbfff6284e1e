#include "sys/tree_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sys/descriptor.h"
#include "sys/file_ops.h"
#include "sys/run_error.h"

namespace {

/// A directory stream, closed (with its descriptor) when the object goes away.
class CDirectoryStream {
 public:
  explicit CDirectoryStream(DIR* stream) : stream(stream) {}
  ~CDirectoryStream() {
    if (stream)
      closedir(stream);
  }
  CDirectoryStream(const CDirectoryStream&) = delete;
  CDirectoryStream& operator=(const CDirectoryStream&) = delete;

  DIR* Get() const { return stream; }

 private:
  DIR* stream;
};

/// The names in the directory open at directory, "." and ".." left out, in byte order.
std::vector<std::string> SortedNames(int directory, const std::string& shown) {
  // The stream gets a descriptor of its own: closedir closes it, and the caller's stays open.
  CDescriptor own(openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!own.Valid())
    FailErrno(errno, "%s: Cannot open", shown.c_str());
  CDirectoryStream stream(fdopendir(own.Get()));
  if (!stream.Get())
    FailErrno(errno, "%s: Cannot read directory", shown.c_str());
  own.Release();
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const struct dirent* item = readdir(stream.Get());
    if (!item) {
      if (errno != 0)
        FailErrno(errno, "%s: Cannot read directory", shown.c_str());
      break;
    }
    if (strcmp(item->d_name, ".") == 0 || strcmp(item->d_name, "..") == 0)
      continue;
    names.emplace_back(item->d_name);
  }
  // std::string compares as unsigned bytes, which is the order the table promises.
  std::sort(names.begin(), names.end());
  return names;
}

/// The directory prefix (relative, with its trailing slash) as messages show it.
std::string ShownDirectory(const std::string& shownTop, const std::string& prefix) {
  std::string shown = shownTop + prefix;
  if (shown.size() > 1 && shown.back() == '/')
    shown.pop_back();
  return shown;
}

void WalkDirectory(int directory, const std::string& prefix, const std::string& shownTop,
                   std::vector<StagedEntry>& entries) {
  for (const std::string& name : SortedNames(directory, ShownDirectory(shownTop, prefix))) {
    StagedEntry entry;
    entry.path = prefix + name;
    const std::string shown = shownTop + entry.path;
    struct stat status;
    if (fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
      FailErrno(errno, "%s: Cannot stat", shown.c_str());
    static_cast<PathState&>(entry) = StateOf(status);
    if (S_ISLNK(status.st_mode))
      entry.target = ReadLinkAt(directory, name, shown, entry.size);
    entries.push_back(std::move(entry));
    if (!S_ISDIR(status.st_mode))
      continue;

    CDescriptor child(openat(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!child.Valid())
      FailErrno(errno, "%s: Cannot open", shown.c_str());
    // What was opened must be what was examined, or the records would describe one directory and list
    // the contents of another.
    struct stat opened;
    if (fstat(child.Get(), &opened) != 0 || opened.st_dev != status.st_dev || opened.st_ino != status.st_ino)
      Fail("%s: Changed while the repository was being made", shown.c_str());
    WalkDirectory(child.Get(), prefix + name + "/", shownTop, entries);
  }
}

}  // namespace

void WalkTree(int top, const std::string& shownTop, std::vector<StagedEntry>& entries) {
  WalkDirectory(top, "", shownTop, entries);
}
