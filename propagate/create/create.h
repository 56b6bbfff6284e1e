#ifndef PROPAGATE_CREATE_CREATE_H_
#define PROPAGATE_CREATE_CREATE_H_

#include <cstdint>
#include <optional>

#include <string>
#include <vector>

/// What propagate --create is asked to do.
struct CreateOptions {
  bool progress = false;  ///< a status line on a terminal's standard error
  unsigned jobs = 0;      ///< files stored at once; 0: the CPUs
  std::string owner;      ///< one owner name for every record; empty: the tree's own
  std::string group;      ///< one group name for every record; empty: the tree's own
  std::vector<std::string> keepPatterns;  ///< shell patterns of paths that keep local changes
  std::string stagedir;                   ///< the staged tree to read
  std::string repodir;                    ///< the repository to write
};

/// propagate --create: writes options.repodir (files.txt and content files) from the staged tree
/// options.stagedir. Returns the exit status (0); throws RunError on any failure, and then writes no table.
int RunCreate(const CreateOptions& options);

/// The time that later times are clamped to, from the text of SOURCE_DATE_EPOCH: nothing when text is null
/// or empty; "SOURCE_DATE_EPOCH: Cannot read %s as seconds since 1970" unless it is decimal digits.
std::optional<int64_t> ParseSourceDateEpoch(const char* text);

#endif  // PROPAGATE_CREATE_CREATE_H_
