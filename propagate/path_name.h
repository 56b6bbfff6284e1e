#ifndef PROPAGATE_PATH_NAME_H_
#define PROPAGATE_PATH_NAME_H_

#include <string>

/// name with empty and "." components dropped into normal, so that "a//b", "./a/b" and "a/b/" are all
/// "a/b"; false when a ".." component makes the path impossible to tell from its spelling.
bool NormalisePath(const std::string& name, std::string& normal);

#endif  // PROPAGATE_PATH_NAME_H_
