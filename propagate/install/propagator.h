#ifndef PROPAGATE_INSTALL_PROPAGATOR_H_
#define PROPAGATE_INSTALL_PROPAGATOR_H_

#include <sys/stat.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "install/action.h"
#include "install/fingerprint_book.h"
#include "install/release_check.h"
#include "sys/descriptor.h"
#include "sys/examination.h"
#include "sys/id_cache.h"
#include "table/table_parser.h"

/// Where a run from a mirror finds the content it copies: the objects it downloaded.
struct FetchedContent {
  std::string area;                                 ///< the download area, ending in "/"
  std::unordered_map<std::string, unsigned> uses;  ///< object name: the number of records that copy it
  std::exception_ptr plannerFailure;  ///< why the dry run that chose the downloads stopped, if it did
  bool renames = true;  ///< objects that one record copies may be installed by a rename
};
/// The name of a content object in the download area: the SHA-256 that the release gives it, when there is
/// one (two contents may share a control sum), else its control sum in upper case.
std::string ObjectName(const std::string& digest, const std::string& sha256);

/// The run context: everything that lives for one run. Exactly one per run; not copied.
/// The Apply operations run on the thread that owns it; ReconcileFile may run on several threads at once.
class CPropagator {
 public:
  /// Copies the three values and, unless dryRun, creates the base directory (mkdir 0755, one level); fails
  /// with "mkdir(%s): %s" when it can be neither made nor found, and a dry run when the run would.
  /// With dryRun every operation decides and reports its actions without changing anything; with checksum
  /// every installed file is read, whatever the last run recorded of it.
  CPropagator(bool interactive, const std::string& repodir, const std::string& basedir, bool dryRun = false,
              bool checksum = false);
  CPropagator(const CPropagator&) = delete;
  CPropagator& operator=(const CPropagator&) = delete;

  /// Hands one parsed entry to the handler for its kind and returns what it did; "Internal inconsistency"
  /// for a kind above 4.
  std::vector<Action> Apply(const TableEntry& entry);
  /// Fails with "Repository table corrupt" while no table record has been handled.
  void RequireTableRecord() const;

  /// Keeps the table record and loads the old table from the base directory (absent when unreadable), with
  /// what the runs before recorded beside it.
  void ApplyTable(const TableEntry& entry);
  /// Brings one file of the base directory in line with its record.
  std::vector<Action> ApplyFile(const TableEntry& entry);
  /// The work of a file record once its owner is resolved: examination, control sum of a kept file, copy
  /// with attributes. Touches only the file's own path and the run's fixed state, so records of different
  /// paths may run at once. bytes gets the number of bytes copied or summed.
  std::vector<Action> ReconcileFile(const TableEntry& entry, const OwnerIds& owner, uint64_t& bytes) const;
  /// Brings one directory in line with its record.
  std::vector<Action> ApplyDir(const TableEntry& entry);
  /// Makes the symbolic link hold the record's target and gives it the record's owner and group.
  std::vector<Action> ApplySymlink(const TableEntry& entry);
  /// Sets once more the times of every directory that this run set, deepest first: the files copied into
  /// them since have moved their times. "Cannot set access times of %s: %s".
  void RestoreDirectoryTimes();
  /// Installs tableBytes, the repository table that the run applied, in the base directory as the next
  /// run's old table, once every file system that the run changed is flushed, with the fingerprints of the
  /// installed files beside it.
  std::vector<Action> InstallTable(const std::string& tableBytes);
  /// The base directory's descriptor; -1 in a dry run of a base directory that does not exist yet.
  int BaseDescriptor() const { return base.Get(); }
  /// Dry run: the links that the run would have made or kept, with their texts, by name.
  std::unordered_map<std::string, std::string> PlannedLinks() const;
  /// The first old-table record of name; fails with "Cannot find %s in old table, possible corruption".
  const TableEntry& FindOldEntry(const std::string& name) const;
  /// The first old-table record of name, or nullptr.
  const TableEntry* OldRecord(const std::string& name) const;
  /// The old table's entries in file order; empty when there is none. May be called from any thread.
  const std::vector<TableEntry>& OldTable() const;

  const bool interactive;      ///< "-i" was given; recorded, read by no operation
  const std::string repodir;   ///< repository directory, ending in "/"
  const std::string basedir;   ///< base directory, ending in "/"
  const bool dryRun;           ///< decide and report only
  const bool checksum;         ///< read every installed file
  std::string_view appliedTable;     ///< the text of the table that the run applies, when known
  const CheckedRelease* release = nullptr;  ///< the signed release applied, when keys are trusted
  std::string repositoryName;        ///< the repository as messages name it: repodir, or the mirror's URL
  /// Dry run: when set, called (from any thread) for each file record that the run would copy, with the
  /// SHA-256 that the release gives it, instead of reading the content.
  std::function<void(const TableEntry&, const std::string&)> contentNeeded;
  const FetchedContent* fetched = nullptr;  ///< when set, content is read from the downloaded objects
  TableEntry tableRecord;            ///< the repository table's table record, kind None until handled
  CIdCache ids;                      ///< owner and group ids, looked up once per run

 private:
  /// The installed table's text as the run found it, and its status; empty when there was none.
  std::string oldTableText;
  struct stat oldTableStatus {};
  /// The old table's records, parsed once, when first asked for, and the position of the first record of
  /// each name.
  mutable std::once_flag oldTableParsed;
  mutable std::vector<TableEntry> oldTable;
  mutable std::unordered_map<std::string_view, size_t> oldIndex;
  /// True when the installed table holds tableBytes, as it did when the run began, with the table record's
  /// owner, group and mode: installing it again would change nothing.
  bool TableInstalledAlready(const std::string& tableBytes, const OwnerIds& owner) const;
  /// What stands at name, not followed, from the base directory; in a dry run what an earlier record of
  /// name would have left there.
  PathState Examine(const std::string& name, bool withTarget) const;
  /// Dry run: the errno that making something at name would meet because of its parent, as far as the
  /// disk and earlier records tell (0 when nothing is in the way).
  int CreationError(const std::string& name) const;
  /// Where a name is looked at from: an open directory (or AT_FDCWD) and the name relative to it.
  struct Location {
    int directory;
    std::string name;
  };
  /// Dry run: where name lies once the links that earlier records would make or change are in place;
  /// nothing when no such link leads to it.
  std::optional<Location> PlannedLocation(const std::string& name) const;
  /// What the regular file at entry's path (reached at where) holds, in the state present: its control sum
  /// into digest and, with withSha256, its SHA-256 as the result; from the fingerprint the last run recorded
  /// when it still matches and proves what is asked, else read now (bytes counts what is read). An empty
  /// digest when the file was swapped while it was read.
  std::string LearnPresentContent(const TableEntry& entry, const PathState& present, const Location& where,
                                  bool withSha256, std::string& digest, uint64_t& bytes) const;
  /// The SHA-256 that the release gives a file record's content, empty without a release; "%s: The content
  /// is not listed in SHA256SUMS" (the source) when it gives none.
  std::string ReleasedSha256(const TableEntry& entry) const;
  /// Dry run: applies change to the state remembered for name, taken from the disk on first use.
  void Remember(const std::string& name, const std::function<void(PathState&)>& change);

  /// The base directory, open; not valid in a dry run of a base directory that does not exist yet.
  CDescriptor base;
  /// Dry run: what earlier records would have made or changed, by name; behind dryLock, as file records
  /// on the workers read it.
  std::unordered_map<std::string, PathState> dryMade;
  mutable std::mutex dryLock;
  /// What the run knows of installed files' content; made with the table record.
  std::unique_ptr<CFingerprintBook> book;
  /// Directories whose times this run set, with those times, in table order.
  std::vector<std::pair<std::string, int64_t>> timedDirectories;
};

#endif  // PROPAGATE_INSTALL_PROPAGATOR_H_
