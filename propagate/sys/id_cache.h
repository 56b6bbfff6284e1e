#ifndef PROPAGATE_SYS_ID_CACHE_H_
#define PROPAGATE_SYS_ID_CACHE_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <unordered_map>

/// User and group ids and names, looked up in the system's databases once per run and remembered.
/// Not thread-safe: the C library's lookups are not, so one thread owns the cache.
class CIdCache {
 public:
  /// Id of user name; "User %s not found, please reinstall Velmira" at every use while it is unknown.
  uid_t UserId(const std::string& name);
  /// Id of group name; "Group %s not found, please reinstall Velmira" at every use while it is unknown.
  gid_t GroupId(const std::string& name);
  /// Name of user id, nothing when the database has none.
  std::optional<std::string> UserName(uid_t id);
  /// Name of group id, nothing when the database has none.
  std::optional<std::string> GroupName(gid_t id);

 private:
  std::unordered_map<std::string, uid_t> userIds;
  std::unordered_map<std::string, gid_t> groupIds;
  std::unordered_map<uid_t, std::optional<std::string>> userNames;
  std::unordered_map<gid_t, std::optional<std::string>> groupNames;
};

/// The owner and group ids of a record, resolved.
struct OwnerIds {
  uid_t user = 0;
  gid_t group = 0;
};

/// Resolves owner and group names, the group first, so that its message wins when neither exists.
OwnerIds ResolveOwner(CIdCache& ids, const std::string& owner, const std::string& group);

#endif  // PROPAGATE_SYS_ID_CACHE_H_
