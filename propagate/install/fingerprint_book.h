#ifndef PROPAGATE_INSTALL_FINGERPRINT_BOOK_H_
#define PROPAGATE_INSTALL_FINGERPRINT_BOOK_H_

#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sys/descriptor.h"
#include "sys/examination.h"
#include "sys/file_ops.h"
#include "table/known_content.h"

/// For one run: the fingerprints that the last complete run recorded beside the installed table, those that
/// this run learns, and the content that runs are installing into files that keep local changes. The
/// lookups and notes may come from several threads at once.
class CFingerprintBook {
 public:
  /// Loads the records beside the installed table at tablePath (base directory open at base, -1 when it does
  /// not exist yet); with ignoreFingerprints none is trusted. A record that cannot be read, or that is not
  /// this user's alone to write, is no record.
  /// appliedTable is the text of the table that the run applies, when known; it outlives the book.
  CFingerprintBook(const std::string& tablePath, int base, bool ignoreFingerprints, std::string_view appliedTable);
  CFingerprintBook(const CFingerprintBook&) = delete;
  CFingerprintBook& operator=(const CFingerprintBook&) = delete;

  /// What the last complete run proved of name's content in the state present (its control sum, and its
  /// SHA-256 when known); nullptr when nothing is known.
  const KnownContent* Known(const std::string& name, const PathState& present) const;
  /// True when an unfinished run was installing content with digest into name: that content is the run's,
  /// not a local change.
  bool WasInstalling(const std::string& name, const std::string& digest) const;
  /// Records, on disk and flushed, that this run is about to install content with digest into name: on the
  /// first call, with every file of the applied table that keeps local changes, so that later calls cost
  /// nothing. The record is replaced whole; InstallBytes's messages.
  void Installing(const std::string& name, const std::string& digest);
  /// Notes that name holds content with digest (and sha256, when known) in the state present, examined from
  /// takenAt on, and that the run left it as it was.
  void Found(const std::string& name, const PathState& present, const std::string& digest, const std::string& sha256,
             const struct timespec& takenAt);
  /// Notes that the run changed name, which held content with digest (and sha256) in the state installed
  /// right after.
  void Changed(const std::string& name, const PathState& installed, const std::string& digest,
               const std::string& sha256);
  /// At the end of a run whose records all succeeded, once its changes are on disk, and after the last
  /// Known: writes the fingerprints of every file found or changed, those taken within a timestamp granule
  /// of their file's last change left out. The file, this user's alone, is replaced whole through a
  /// temporary file and flushed, unless it would say what it says.
  void Write();
  /// After the table is installed: the record of content being installed is removed, if it can be.
  void Complete();

 private:
  const std::string fingerprintPath;
  const std::string installingPath;
  uint64_t baseDevice = 0;
  uint64_t baseInode = 0;
  KnownContents loaded;
  InstallingContents installing;
  bool installingExists = false;
  const std::string_view appliedTable;
  bool appliedTableRecorded = false;

  std::mutex lock;
  std::string installingText;  ///< the record of content being installed, as last written
  std::deque<std::pair<std::string, KnownContent>> found;
  size_t provedCount = 0;  ///< entries of found that the loaded record proved
  std::deque<std::pair<std::string, KnownContent>> changed;
};

#endif  // PROPAGATE_INSTALL_FINGERPRINT_BOOK_H_
