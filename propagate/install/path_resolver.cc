#include "install/path_resolver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "sys/path_name.h"

namespace {

// Links within links: the system gives up after 40 as well.
constexpr int kMostLinks = 40;

/// parent joined with name, normalised lexically; false when ".." leaves the base directory.
bool Join(const std::string& parent, const std::string& name, std::string& joined) {
  std::vector<std::string> parts;
  std::string whole = parent.empty() ? name : parent + "/" + name;
  size_t start = 0;
  while (start <= whole.size()) {
    size_t slash = whole.find('/', start);
    std::string part = whole.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (part == "..") {
      if (parts.empty())
        return false;
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    if (slash == std::string::npos)
      break;
    start = slash + 1;
  }
  joined.clear();
  for (const std::string& part : parts)
    joined += (joined.empty() ? "" : "/") + part;
  return true;
}

}  // namespace

const CPathResolver::Seen& CPathResolver::Look(const std::string& normal) {
  auto found = seen.find(normal);
  if (found != seen.end())
    return found->second;
  Seen state;
  struct stat status;
  if (baseDirectory >= 0 && fstatat(baseDirectory, normal.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(status.st_mode)) {
    std::string text(4096, '\0');
    ssize_t length = readlinkat(baseDirectory, normal.c_str(), text.data(), text.size() - 1);
    if (length > 0) {
      state.link = true;
      state.target.assign(text.data(), static_cast<size_t>(length));
    }
  }
  return seen.emplace(normal, std::move(state)).first->second;
}

RecordPaths CPathResolver::Resolve(const std::string& name) {
  RecordPaths paths;
  paths.occupied.push_back(name);
  std::string normal;
  if (!NormalisePath(name, normal) || normal.empty())
    return paths;
  // The parents are resolved one component at a time; the last component is the record's own, never followed.
  std::string resolved;
  std::string rest = normal;
  int links = 0;
  for (;;) {
    size_t slash = rest.find('/');
    if (slash == std::string::npos)
      break;
    std::string next = resolved.empty() ? rest.substr(0, slash) : resolved + "/" + rest.substr(0, slash);
    rest = rest.substr(slash + 1);
    const Seen& state = Look(next);
    if (!state.link) {
      resolved = next;
      continue;
    }
    paths.traversed.push_back(next);
    // A link that leaves the base directory, or too many, ends what can be told from names.
    size_t parentEnd = next.rfind('/');
    std::string parent = parentEnd == std::string::npos ? "" : next.substr(0, parentEnd);
    std::string target;
    if (state.target[0] == '/' || ++links > kMostLinks || !Join(parent, state.target, target))
      return paths;
    // The link's text is resolved like the rest of the name, from the top.
    rest = target.empty() ? rest : target + "/" + rest;
    resolved.clear();
  }
  std::string reached = resolved.empty() ? rest : resolved + "/" + rest;
  if (reached != normal)
    paths.occupied.push_back(reached);
  return paths;
}

bool CPathResolver::Replacing(const std::string& name) {
  std::string normal;
  if (!NormalisePath(name, normal) || normal.empty()) {
    bool any = !seen.empty();
    seen.clear();
    return any;
  }
  bool through = seen.erase(normal) != 0;
  // Everything below name sorts from name + "/" up to name + "0", the character after the slash.
  seen.erase(seen.lower_bound(normal + "/"), seen.lower_bound(normal + "0"));
  return through;
}
