#ifndef PROPAGATE_INSTALL_INSTALL_H_
#define PROPAGATE_INSTALL_INSTALL_H_

#include <string>

/// What an installation, upgrade or dry run is asked to do.
struct InstallOptions {
  bool interactive = false;  ///< -i: recorded, read by no operation
  bool dryRun = false;       ///< decide and print, change nothing
  bool verbose = false;      ///< print each action as it is done
  bool progress = false;     ///< a status line on a terminal's standard error
  bool prune = false;        ///< remove what the old table installed and the new one dropped
  bool checksum = false;     ///< read every installed file, trusting no fingerprint
  unsigned jobs = 0;         ///< records in progress at once; 0: the CPUs
  std::string repodir;       ///< the repository directory, as given
  std::string basedir;       ///< the base directory, as given
};

/// Brings basedir in line with the table of repodir, or (dry run) prints what that would do, and installs
/// the table. Returns 0; throws RunError on any failure, and then installs no table.
int RunInstall(const InstallOptions& options);

#endif  // PROPAGATE_INSTALL_INSTALL_H_
