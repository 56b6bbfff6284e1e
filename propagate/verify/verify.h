#ifndef PROPAGATE_VERIFY_VERIFY_H_
#define PROPAGATE_VERIFY_VERIFY_H_

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "sys/id_cache.h"
#include "table/release.h"
#include "table/table_parser.h"

/// What stands at one record's path, read without changing anything.
struct Finding {
  bool missing = false;   ///< nothing stands at the path
  uint32_t mode = 0;      ///< mode word of the path itself (lstat)
  uid_t user = 0;         ///< owner of the path itself
  gid_t group = 0;        ///< group of the path itself
  int64_t mtime = 0;      ///< modification time of the path itself, seconds
  bool followed = false;  ///< a link stands where a kept file or a directory belongs and leads to one
  std::string digest;     ///< MD5 of a regular file's content (through the link when followed); else empty
  std::string sha256;     ///< its SHA-256, when the examiner was asked for it
  std::string target;     ///< text of a link at a symlink record's path
  uint64_t bytesRead = 0;  ///< content bytes hashed
  std::string failure;     ///< message of an examination that failed; the other fields mean nothing then
};

/// Examines the paths of records below one base directory; one per thread, as it owns a read buffer.
class CRecordExaminer {
 public:
  /// baseDirectory: an open descriptor of basedir (which ends in "/" and names it in messages); with
  /// withSha256 the content's SHA-256 is taken as well.
  CRecordExaminer(int baseDirectory, const std::string& basedir, bool withSha256 = false);
  CRecordExaminer(const CRecordExaminer&) = delete;
  CRecordExaminer& operator=(const CRecordExaminer&) = delete;

  /// What stands at record's path; never opens anything but a regular file. Throws RunError:
  /// "lstat(%s): %s", "readlink(%s): %s", "%s: Cannot open: %s", "%s: Cannot stat: %s", "%s: Cannot read: %s".
  Finding Examine(const TableEntry& record);

 private:
  void HashFile(const std::string& name, const std::string& path, bool followLink, Finding& finding);

  int baseDirectory;
  std::string basedir;
  bool withSha256;
  std::vector<unsigned char> buffer;
};

/// How a record and its finding differ.
struct Differences {
  std::vector<std::string> attributes;  ///< each differing attribute with the found and the table's value
  bool damage = false;                  ///< something differs that a run would put back
};

/// Compares record with what was found at its path; ids turns names into ids and back (this thread's own);
/// releaseSums, when given, the SHA-256 of each content that the installed release vouched for.
Differences CompareRecord(const TableEntry& record, const Finding& finding, CIdCache& ids,
                          const Sha256Sums* releaseSums = nullptr);

/// The output line of a record that differs: the path escaped as in the table, ": ", the attributes joined
/// by "; ".
std::string DifferenceLine(const TableEntry& record, const Differences& differences);

/// What propagate --verify is asked to do.
struct VerifyOptions {
  bool progress = false;  ///< a status line on a terminal's standard error
  unsigned jobs = 0;      ///< records examined at once; 0: the CPUs
  std::string table;      ///< the installed table's name; empty: files.txt
  std::string basedir;    ///< the installation to compare
};

/// Compares options.basedir with its installed table, writing the line of each path that differs to output;
/// returns RunVerify's status.
int VerifyBase(const VerifyOptions& options, FILE* output);

/// propagate --verify: compares options.basedir with its installed table and prints one line per path
/// that differs on standard output. Returns 0 when nothing differs that a run would put back, 2 when something does; throws
/// RunError when the table cannot be read or a path cannot be examined.
int RunVerify(const VerifyOptions& options);

#endif  // PROPAGATE_VERIFY_VERIFY_H_
