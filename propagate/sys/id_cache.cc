#include "sys/id_cache.h"

#include <grp.h>
#include <pwd.h>

#include "sys/file_ops.h"

uid_t CIdCache::UserId(const std::string& name) {
  auto found = userIds.find(name);
  if (found != userIds.end())
    return found->second;
  // An unknown name is not remembered: it fails with the same message wherever it is used.
  return userIds.emplace(name, ::UserId(name)).first->second;
}

gid_t CIdCache::GroupId(const std::string& name) {
  auto found = groupIds.find(name);
  if (found != groupIds.end())
    return found->second;
  return groupIds.emplace(name, ::GroupId(name)).first->second;
}

std::optional<std::string> CIdCache::UserName(uid_t id) {
  auto found = userNames.find(id);
  if (found != userNames.end())
    return found->second;
  const struct passwd* entry = getpwuid(id);
  std::optional<std::string> name;
  if (entry)
    name = entry->pw_name;
  return userNames.emplace(id, name).first->second;
}

std::optional<std::string> CIdCache::GroupName(gid_t id) {
  auto found = groupNames.find(id);
  if (found != groupNames.end())
    return found->second;
  const struct group* entry = getgrgid(id);
  std::optional<std::string> name;
  if (entry)
    name = entry->gr_name;
  return groupNames.emplace(id, name).first->second;
}

OwnerIds ResolveOwner(CIdCache& ids, const std::string& owner, const std::string& group) {
  OwnerIds resolved;
  resolved.group = ids.GroupId(group);
  resolved.user = ids.UserId(owner);
  return resolved;
}
