#ifndef PROPAGATE_PROPAGATOR_H_
#define PROPAGATE_PROPAGATOR_H_

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "table_parser.h"

/// The run context: everything that lives for one run. Exactly one per run; not copied.
class CPropagator {
 public:
  /// Copies the three values and creates the base directory (mkdir 0755, result ignored).
  CPropagator(bool interactive, const std::string& repodir, const std::string& basedir);
  CPropagator(const CPropagator&) = delete;
  CPropagator& operator=(const CPropagator&) = delete;

  /// Hands one parsed entry to the handler for its kind; "Internal inconsistency" for a kind above 4.
  void Apply(const TableEntry& entry);
  /// Fails with "Repository table corrupt" while no table record has been handled.
  void RequireTableRecord() const;

  /// Keeps the table record and loads the old table from the base directory (absent when unreadable).
  void ApplyTable(const TableEntry& entry);
  /// Brings one file of the base directory in line with its record.
  void ApplyFile(const TableEntry& entry);
  /// Brings one directory in line with its record (SyncDir, or CreateDirOnce when it keeps an existing one).
  void ApplyDir(const TableEntry& entry);
  /// Creates the directory when missing, then sets mode, owner and group, and times.
  void SyncDir(const TableEntry& entry);
  /// Creates the directory and sets its attributes only when nothing stands at its path.
  void CreateDirOnce(const TableEntry& entry);
  /// Makes the symbolic link hold the record's target and gives it the record's owner and group.
  void ApplySymlink(const TableEntry& entry);
  /// Installs the repository table in the base directory as the next run's old table.
  void InstallTable();
  /// The first old-table record of name; fails with "Cannot find %s in old table, possible corruption".
  const TableEntry& FindOldEntry(const std::string& name) const;

  const bool interactive;      ///< "-i" was given; recorded, read by no operation
  const std::string repodir;   ///< repository directory, ending in "/"
  const std::string basedir;   ///< base directory, ending in "/"
  std::vector<TableEntry> oldTable;  ///< the old table's entries in file order; empty when there is none
  TableEntry tableRecord;            ///< the repository table's table record, kind None until handled

 private:
  /// Position in oldTable of the first record of each name, built when the old table is loaded.
  std::unordered_map<std::string_view, size_t> oldIndex;
};

/// A copy of path with one "/" appended unless it already ends in "/"; "" becomes "/".
std::string WithTrailingSlash(const std::string& path);

/// The whole program for its arguments: returns the exit status, throws RunError on any failure.
int Run(int argc, char** argv);

#endif  // PROPAGATE_PROPAGATOR_H_
