#ifndef PROPAGATE_INSTALL_DOWNLOAD_AREA_H_
#define PROPAGATE_INSTALL_DOWNLOAD_AREA_H_

#include <cstdint>
#include <string>

#include "table/known_content.h"

/// The download area of a base directory: on its file system, so that installing an object is a rename, and
/// kept when a run is cut short, so that the next run resumes what this one had begun.
class CDownloadArea {
 public:
  /// Makes basedir (ending in "/") + kDownloadAreaName with mode 0700 unless it exists. One that is not a
  /// directory of this user's, or that the group or others can write, is refused: what lies there is
  /// installed. "mkdir(%s): %s", "%s: Refusing a download area that is not a directory of this user's alone
  /// (owner %u, mode 0%o)".
  explicit CDownloadArea(const std::string& basedir);

  /// The area's path, ending in "/".
  const std::string& Path() const { return path; }
  /// The bytes that downloads may take there: the space free for this user, less a twentieth of the file
  /// system, which is left for the installation and everything else on it.
  uint64_t SpaceBudget() const;
  /// Removes the area and what it holds; what cannot be removed stays for a later run to remove.
  void Remove() const;

 private:
  std::string path;
};

#endif  // PROPAGATE_INSTALL_DOWNLOAD_AREA_H_
