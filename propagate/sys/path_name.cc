#include "sys/path_name.h"

#include <string_view>

bool NormalisePath(const std::string& name, std::string& normal) {
  normal.clear();
  size_t start = 0;
  while (start <= name.size()) {
    size_t slash = name.find('/', start);
    if (slash == std::string::npos)
      slash = name.size();
    std::string_view component(name.data() + start, slash - start);
    if (component == "..")
      return false;
    if (!component.empty() && component != ".") {
      if (!normal.empty())
        normal += '/';
      normal.append(component);
    }
    start = slash + 1;
  }
  return true;
}

std::string WithTrailingSlash(const std::string& path) {
  if (path.empty() || path.back() != '/')
    return path + "/";
  return path;
}
