#include "install/download_area.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "sys/descriptor.h"
#include "sys/run_error.h"

CDownloadArea::CDownloadArea(const std::string& basedir) : path(basedir + kDownloadAreaName + "/") {
  const std::string directory = basedir + kDownloadAreaName;
  if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)
    FailErrno(errno, "mkdir(%s)", directory.c_str());
  struct stat status;
  if (lstat(directory.c_str(), &status) != 0)
    FailErrno(errno, "mkdir(%s)", directory.c_str());
  if (!S_ISDIR(status.st_mode) || status.st_uid != geteuid() || (status.st_mode & 022) != 0)
    Fail("%s: Refusing a download area that is not a directory of this user's alone (owner %u, mode 0%o)",
         directory.c_str(), static_cast<unsigned>(status.st_uid), static_cast<unsigned>(status.st_mode & 07777));
}

uint64_t CDownloadArea::SpaceBudget() const {
  struct statvfs space;
  if (statvfs(path.c_str(), &space) != 0)
    return UINT64_MAX;
  const uint64_t available = static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
  const uint64_t reserve = static_cast<uint64_t>(space.f_blocks) * space.f_frsize / 20;
  return available > reserve ? available - reserve : 0;
}

void CDownloadArea::Remove() const {
  CDirectoryStream listing(opendir(path.c_str()));
  if (!listing)
    return;
  // Only the run's own flat names are there: objects and their partial parts.
  std::vector<std::string> names;
  while (const dirent* item = readdir(listing.get()))
    if (std::string(item->d_name) != "." && std::string(item->d_name) != "..")
      names.push_back(item->d_name);
  for (const std::string& name : names)
    unlinkat(dirfd(listing.get()), name.c_str(), 0);
  rmdir(path.c_str());
}
