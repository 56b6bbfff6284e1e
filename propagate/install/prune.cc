#include "install/prune.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>

#include "sys/descriptor.h"
#include "sys/examination.h"
#include "sys/file_ops.h"
#include "sys/run_error.h"

namespace {

/// The components of name between slashes, empty ones included.
std::vector<std::string> SplitPath(const std::string& name) {
  std::vector<std::string> components;
  size_t start = 0;
  for (;;) {
    size_t slash = name.find('/', start);
    if (slash == std::string::npos) {
      components.push_back(name.substr(start));
      return components;
    }
    components.push_back(name.substr(start, slash - start));
    start = slash + 1;
  }
}

/// True when name can only mean one path inside the base directory: not empty, no zero byte, no leading
/// or doubled or trailing slash, no "." or ".." component.
bool IsPrunableName(const std::string& name) {
  if (name.empty() || name.find('\0') != std::string::npos)
    return false;
  for (const std::string& component : SplitPath(name))
    if (component.empty() || component == "." || component == "..")
      return false;
  return true;
}

/// Every path that a new-table name occupies or passes through, spelled as a prunable name would be:
/// the name itself and each of its parent directories, with empty and "." components dropped and ".."
/// taken back lexically. A dropped link or file that a kept path passes through must stay, and a name
/// spelled differently ("a//b", "./a/b") still protects the path it installs.
std::unordered_set<std::string> ProtectedPaths(const std::unordered_set<std::string>& newNames) {
  std::unordered_set<std::string> paths;
  for (const std::string& name : newNames) {
    std::vector<std::string> stack;
    for (std::string& component : SplitPath(name)) {
      if (component.empty() || component == ".")
        continue;
      if (component == ".." && !stack.empty() && stack.back() != "..")
        stack.pop_back();
      else
        stack.push_back(std::move(component));
      std::string joined;
      for (const std::string& part : stack)
        joined += (joined.empty() ? "" : "/") + part;
      paths.insert(std::move(joined));
    }
  }
  return paths;
}

/// basedir + name as the run will have left it: the first parent that the run makes a link is replaced by
/// the link's text, as the system would follow it.
std::string PlannedPath(const std::string& basedir, const std::string& name,
                        const std::unordered_map<std::string, std::string>& plannedLinks) {
  for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
    auto planned = plannedLinks.find(name.substr(0, slash));
    if (planned == plannedLinks.end())
      continue;
    const std::string& text = planned->second;
    if (!text.empty() && text[0] == '/')
      return text + name.substr(slash);
    size_t parentEnd = name.rfind('/', slash - 1);
    std::string parent = parentEnd == std::string::npos || slash == 0 ? "" : name.substr(0, parentEnd + 1);
    return basedir + parent + text + name.substr(slash);
  }
  return basedir + name;
}

/// A file's identity: what a path reaches, whatever its spelling.
using FileIdentity = std::pair<dev_t, ino_t>;

/// The identities of the new-table paths that pass through a link or a ".." inside the base directory:
/// such a path can reach a dropped path under another name ("current/f" through the link "current" is
/// "real/f"), which must then stay. Only the parent directories are examined for links, each once, so
/// a table without such paths costs one lstat per directory.
std::set<FileIdentity> ReachedThroughLinks(const std::unordered_set<std::string>& newNames,
                                           const std::string& basedir,
                                           const std::unordered_map<std::string, std::string>& plannedLinks) {
  std::unordered_map<std::string, bool> parentIsLink;
  std::set<FileIdentity> reached;
  for (const std::string& name : newNames) {
    std::vector<std::string> components = SplitPath(name);
    bool throughLink = std::find(components.begin(), components.end(), "..") != components.end();
    for (size_t slash = name.find('/'); slash != std::string::npos && !throughLink; slash = name.find('/', slash + 1)) {
      if (slash == 0 || name[slash - 1] == '/')
        continue;  // the same directory as the shorter prefix
      std::string parent = name.substr(0, slash);
      auto found = parentIsLink.find(parent);
      if (found == parentIsLink.end()) {
        bool isLink = plannedLinks.count(parent) != 0 || S_ISLNK(ExaminePath(AT_FDCWD, basedir + parent, false).mode);
        found = parentIsLink.emplace(std::move(parent), isLink).first;
      }
      throughLink = found->second;
    }
    if (!throughLink)
      continue;
    const PathState status = ExaminePath(AT_FDCWD, PlannedPath(basedir, name, plannedLinks), false);
    if (status.exists)
      reached.emplace(status.device, status.inode);
  }
  return reached;
}

/// One path to consider, with its position in the old table for a stable order.
struct Candidate {
  const TableEntry* entry;
  size_t position;
  size_t depth;
};

/// The old table's first File, Dir and Symlink record of each name that the new table neither records nor
/// passes through, deepest first; among equal depths the later record first.
std::vector<Candidate> Candidates(const std::vector<TableEntry>& oldTable,
                                  const std::unordered_set<std::string>& newNames) {
  std::unordered_set<std::string_view> seen;
  std::vector<Candidate> candidates;
  for (size_t i = 0; i < oldTable.size(); ++i) {
    const TableEntry& entry = oldTable[i];
    if (entry.kind != EntryKind::File && entry.kind != EntryKind::Dir && entry.kind != EntryKind::Symlink)
      continue;
    if (!seen.insert(entry.name).second)
      continue;  // a later record of a name does not count, as when the old table is looked up
    if (newNames.count(entry.name) || !IsPrunableName(entry.name))
      continue;
    size_t depth = static_cast<size_t>(std::count(entry.name.begin(), entry.name.end(), '/')) + 1;
    candidates.push_back({&entry, i, depth});
  }
  // Most upgrades drop nothing; only then is every new name looked at for the paths it passes through.
  if (!candidates.empty()) {
    std::unordered_set<std::string> protectedPaths = ProtectedPaths(newNames);
    std::erase_if(candidates, [&](const Candidate& candidate) { return protectedPaths.count(candidate.entry->name); });
  }
  std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
    return a.depth != b.depth ? a.depth > b.depth : a.position > b.position;
  });
  return candidates;
}

/// The directory that holds name, reached from base one component at a time without following a link;
/// null when a component is missing, a link or no directory. "open(%s): %s" for any other failure.
std::unique_ptr<CDescriptor> OpenParent(int base, const std::string& basedir, const std::string& name) {
  std::vector<std::string> components = SplitPath(name);
  components.pop_back();
  auto current = std::make_unique<CDescriptor>(openat(base, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  std::string path = basedir;
  if (!current->Valid())
    FailErrno(errno, "open(%s)", path.c_str());
  for (const std::string& component : components) {
    path += component;
    auto next = std::make_unique<CDescriptor>(
        openat(current->Get(), component.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next->Valid()) {
      if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)
        return nullptr;
      FailErrno(errno, "open(%s)", path.c_str());
    }
    path += "/";
    current = std::move(next);
  }
  return current;
}

/// True when every entry of the directory name in parent is a path in removed (relative names).
bool EmptyBut(int parent, const std::string& leaf, const std::string& name, const std::string& path,
              const std::unordered_set<std::string>& removed) {
  CDescriptor fd(openat(parent, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.Valid()) {
    if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)
      return false;
    FailErrno(errno, "opendir(%s)", path.c_str());
  }
  CDirectoryStream directory(fdopendir(fd.Get()));
  if (!directory)
    FailErrno(errno, "opendir(%s)", path.c_str());
  fd.Release();  // the stream closes it now
  for (;;) {
    errno = 0;
    struct dirent* item = readdir(directory.get());
    if (!item) {
      if (errno != 0)
        FailErrno(errno, "readdir(%s)", path.c_str());
      return true;
    }
    if (strcmp(item->d_name, ".") == 0 || strcmp(item->d_name, "..") == 0)
      continue;
    if (!removed.count(name + "/" + item->d_name))
      return false;
  }
}

/// Removes (or, dry, only decides about) one candidate; returns the action to report, if any.
std::optional<ActionKind> PruneOne(int base, const std::string& basedir, const TableEntry& entry, bool dryRun,
                                   const std::unordered_set<std::string>& removed,
                                   const std::set<FileIdentity>& reached) {
  std::unique_ptr<CDescriptor> parentDescriptor = OpenParent(base, basedir, entry.name);
  if (!parentDescriptor)
    return std::nullopt;
  const CDescriptor& parent = *parentDescriptor;
  std::string leaf = entry.name.substr(entry.name.rfind('/') + 1);
  std::string path = basedir + entry.name;

  const PathState status = ExaminePath(parent.Get(), leaf, entry.kind == EntryKind::Symlink);
  if (!status.exists) {
    if (status.error == ENOENT)
      return std::nullopt;  // already gone: an interrupted run removed it
    FailErrno(status.error, "lstat(%s)", path.c_str());
  }
  if (reached.count({status.device, status.inode}))
    return std::nullopt;

  int flags = 0;
  switch (entry.kind) {
    case EntryKind::File: {
      if (!S_ISREG(status.mode))
        return std::nullopt;
      // Only the file examined counts: one swapped in since, or gone, is none of the old table's.
      PathState opened;
      std::vector<unsigned char> buffer;
      std::optional<std::string> present =
          ControlSumAt(parent.Get(), leaf, path, {.examined = &status}, opened, buffer);
      if (!present)
        return std::nullopt;
      if (*present != entry.file.digest)
        return ActionKind::Keep;
      break;
    }
    case EntryKind::Symlink:
      if (!S_ISLNK(status.mode))
        return std::nullopt;
      if (status.targetError == ENOENT || status.targetError == EINVAL)
        return std::nullopt;  // gone, or no longer a link
      if (status.targetError != 0)
        FailErrno(status.targetError, "readlink(%s)", path.c_str());
      if (status.target != entry.target)
        return std::nullopt;
      break;
    case EntryKind::Dir:
      // Checked in a real run too: a directory with unknown content stays even where rmdir would
      // report the parent's permissions instead of the content.
      if (!S_ISDIR(status.mode) || !EmptyBut(parent.Get(), leaf, entry.name, path, removed))
        return std::nullopt;
      flags = AT_REMOVEDIR;
      break;
    default:
      return std::nullopt;
  }
  if (dryRun)
    return ActionKind::Remove;
  if (unlinkat(parent.Get(), leaf.c_str(), flags) != 0) {
    if (errno == ENOENT)
      return std::nullopt;
    if (flags == AT_REMOVEDIR && (errno == ENOTEMPTY || errno == EEXIST))
      return std::nullopt;  // something appeared inside since it was read
    FailErrno(errno, flags == AT_REMOVEDIR ? "rmdir(%s)" : "unlink(%s)", path.c_str());
  }
  NoteChangedPath(path.substr(0, path.size() - leaf.size()));
  return ActionKind::Remove;
}

}  // namespace

void Prune(const std::vector<TableEntry>& oldTable, const std::unordered_set<std::string>& newNames,
           const std::string& basedir, bool dryRun, const std::function<void(const Action&)>& report,
           const std::unordered_map<std::string, std::string>& plannedLinks) {
  std::vector<Candidate> candidates = Candidates(oldTable, newNames);
  if (candidates.empty())
    return;
  CDescriptor base(open(basedir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!base.Valid())
    FailErrno(errno, "open(%s)", basedir.c_str());
  std::set<FileIdentity> reached = ReachedThroughLinks(newNames, basedir, plannedLinks);
  // The paths removed so far (or, dry, that would be): a directory holding only those counts as empty.
  std::unordered_set<std::string> removed;
  for (const Candidate& candidate : candidates) {
    std::optional<ActionKind> kind = PruneOne(base.Get(), basedir, *candidate.entry, dryRun, removed, reached);
    if (!kind)
      continue;
    if (*kind == ActionKind::Remove)
      removed.insert(candidate.entry->name);
    report({*kind, candidate.entry->name});
  }
}
