#ifndef PROPAGATE_SYS_PATH_NAME_H_
#define PROPAGATE_SYS_PATH_NAME_H_

#include <string>

/// name with empty and "." components dropped into normal, so that "a//b", "./a/b" and "a/b/" are all
/// "a/b"; false when a ".." component makes the path impossible to tell from its spelling.
bool NormalisePath(const std::string& name, std::string& normal);

/// A copy of path with one "/" appended unless it already ends in "/"; "" becomes "/".
std::string WithTrailingSlash(const std::string& path);

#endif  // PROPAGATE_SYS_PATH_NAME_H_
