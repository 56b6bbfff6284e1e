#ifndef PROPAGATE_INSTALL_INSTALL_H_
#define PROPAGATE_INSTALL_INSTALL_H_

#include <string>
#include <vector>

/// What an installation, upgrade or dry run is asked to do.
struct InstallOptions {
  bool interactive = false;  ///< -i: recorded, read by no operation
  bool dryRun = false;       ///< decide and print, change nothing
  bool verbose = false;      ///< print each action as it is done
  bool progress = false;     ///< a status line on a terminal's standard error
  bool prune = false;        ///< remove what the old table installed and the new one dropped
  bool checksum = false;     ///< read every installed file, trusting no fingerprint
  bool allowDowngrade = false;  ///< accept a signed release older than, or as old as, the installed one
  std::vector<std::string> trustedKeyFiles;  ///< release keys trusted besides those of trustedKeyDirectory
  std::string trustedKeyDirectory;           ///< the directory of trusted release keys (*.pub)
  std::string caCertificate;  ///< --cacert: the CAs a mirror's certificate is checked against; empty: the system's
  long speedTime = 30;        ///< --speed-time: seconds under 1 byte/s that end a transfer from a mirror
  unsigned jobs = 0;         ///< records in progress at once; 0: the CPUs
  std::string repodir;       ///< the repository directory or a mirror's URL, as given
  std::string basedir;       ///< the base directory, as given
};

/// Brings basedir in line with the table of repodir, or (dry run) prints what that would do, and installs
/// the table. When release keys are trusted, the repository's signed release is checked before anything
/// changes, and every copy against its SHA-256. Returns 0; throws RunError on any failure, and then installs no table.
int RunInstall(const InstallOptions& options);

#endif  // PROPAGATE_INSTALL_INSTALL_H_
