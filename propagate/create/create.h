#ifndef PROPAGATE_CREATE_CREATE_H_
#define PROPAGATE_CREATE_CREATE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sys/minisign.h"
#include "table/release.h"

/// What propagate --create is asked to do.
struct CreateOptions {
  bool progress = false;  ///< a status line on a terminal's standard error
  unsigned jobs = 0;      ///< files stored at once; 0: the CPUs
  std::string owner;      ///< one owner name for every record; empty: the tree's own
  std::string group;      ///< one group name for every record; empty: the tree's own
  std::vector<std::string> keepPatterns;  ///< shell patterns of paths that keep local changes
  std::string stagedir;                   ///< the staged tree to read
  std::string repodir;                    ///< the repository to write
  std::string signKey;         ///< the minisign secret key that signs the release; empty: an unsigned repository
  std::string passphraseFile;  ///< the file whose first line is signKey's passphrase; empty: asked on the terminal
  ReleaseStatement release;    ///< what the signature's trusted comment states; read only with signKey
};

/// The decrypted key of options.signKey, nullptr without one. An encrypted key's passphrase is the first line of
/// options.passphraseFile (without "\n" or "\r\n"), else typed on /dev/tty after "Passphrase for KEY: " with echo
/// off; a key stored without one is never asked for it. Called before CSignalGuard exists: SIGINT, SIGTERM or SIGHUP
/// at the prompt give the terminal back its echo and fail "Interrupted by %s". Also "%s: Cannot ask for the
/// passphrase of this encrypted key on /dev/tty; give it with --passphrase-file: %s", "%s: The passphrase is longer
/// than %zu bytes", "%s: Cannot open: %s", "%s: Cannot read: %s", and CMinisignSecretKey's failures.
std::unique_ptr<CMinisignSecretKey> LoadSigningKey(const CreateOptions& options);

/// propagate --create: writes options.repodir (files.txt and content files) from the staged tree
/// options.stagedir, with SHA256SUMS and SHA256SUMS.minisig signed by key when options.signKey is set (key null:
/// LoadSigningKey first), and without them otherwise (stale ones removed). Returns the exit status (0); throws
/// RunError on any failure, and then writes no table.
int RunCreate(const CreateOptions& options, const CMinisignSecretKey* key = nullptr);

/// The time that later times are clamped to, from the text of SOURCE_DATE_EPOCH: nothing when text is null
/// or empty; "SOURCE_DATE_EPOCH: Cannot read %s as seconds since 1970" unless it is decimal digits.
std::optional<int64_t> ParseSourceDateEpoch(const char* text);

#endif  // PROPAGATE_CREATE_CREATE_H_
