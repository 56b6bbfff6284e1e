#include "install/propagator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>

#include <cstdint>

#include "sys/file_ops.h"
#include "sys/run_error.h"

namespace {

/// The directory that holds directory (its path with or without a trailing slash).
std::string ParentOf(std::string directory) {
  while (directory.size() > 1 && directory.back() == '/')
    directory.pop_back();
  size_t slash = directory.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : directory.substr(0, slash);
}

/// The errno that mkdir of a missing directory would meet; 0 when it would succeed, as far as one can tell.
int MakeDirError(const std::string& directory) {
  struct stat status;
  if (stat(directory.c_str(), &status) == 0)
    return 0;
  if (errno != ENOENT)
    return errno;
  const std::string parent = ParentOf(directory);
  if (stat(parent.c_str(), &status) != 0)
    return errno;
  // Permissions are not foreseen: a dry run is often a preview, by another user, of what root will do.
  return S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
}

}  // namespace

std::string ObjectName(const std::string& digest, const std::string& sha256) {
  if (!sha256.empty())
    return sha256;
  std::string name = digest;
  for (char& c : name)
    c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return name;
}

CPropagator::CPropagator(bool interactive, const std::string& repodir, const std::string& basedir, bool dryRun,
                         bool checksum)
    : interactive(interactive),
      repodir(repodir),
      basedir(basedir),
      dryRun(dryRun),
      checksum(checksum),
      repositoryName(repodir) {
  // Only the last component is made. A base directory that cannot be made ends the run before the
  // repository is read: every later step would fail on it with a message that hides the cause.
  if (!dryRun && mkdir(this->basedir.c_str(), 0755) != 0 && errno != EEXIST)
    FailErrno(errno, "mkdir(%s)", this->basedir.c_str());
  if (dryRun)
    if (int error = MakeDirError(this->basedir))
      FailErrno(error, "mkdir(%s)", this->basedir.c_str());
  base.Reset(open(this->basedir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

std::vector<Action> CPropagator::Apply(const TableEntry& entry) {
  switch (static_cast<uint32_t>(entry.kind)) {
    case 0:
      return {};
    case 1:
      ApplyTable(entry);
      return {};
    case 2:
      return ApplyFile(entry);
    case 3:
    case 4: {
      // A directory or link record may put another directory at a path that copies went through. Copies
      // on other threads may open that path while it changes: what they keep open is forgotten once the
      // change is over, whether it succeeded or not.
      struct CForgetAfterwards {
        ~CForgetAfterwards() { ForgetOpenDirectories(); }
      } forgetAfterwards;
      return entry.kind == EntryKind::Dir ? ApplyDir(entry) : ApplySymlink(entry);
    }
    default:
      Fail("Internal inconsistency");
  }
}

void CPropagator::RequireTableRecord() const {
  if (tableRecord.kind == EntryKind::None)
    Fail("Repository table corrupt");
}

