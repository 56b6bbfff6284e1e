#ifndef PROPAGATE_SYS_TEST_SUPPORT_H_
#define PROPAGATE_SYS_TEST_SUPPORT_H_

#include <sys/stat.h>

#include <functional>
#include <string>

/// A fresh mkdtemp directory, removed with everything in it unless the test failed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  /// The directory's path, without trailing slash.
  const std::string& Path() const { return path; }
  /// Path of name inside the directory.
  std::string operator/(const std::string& name) const { return path + "/" + name; }

 private:
  std::string path;
};

/// Writes content to path, replacing it; aborts the test on failure.
void WriteFile(const std::string& path, const std::string& content);
/// Whole content of the file at path; aborts the test on failure.
std::string ReadFile(const std::string& path);
/// lstat of path; aborts the test on failure.
struct stat StatPath(const std::string& path);
/// The message of the RunError that body throws, or "(no error)".
template <typename Body>
std::string ErrorOf(Body body) {
  try {
    body();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(no error)";
}
/// Runs body in a child process with a mount namespace of its own, so that what body mounts or unmounts
/// is seen by nobody else. Returns what body returned, or "skip: ..." when the namespace is refused.
std::string InOwnMounts(const std::function<std::string()>& body);
/// True when the tests run as root, which owner changes and namespaces need.
bool IsRoot();

#endif  // PROPAGATE_SYS_TEST_SUPPORT_H_
