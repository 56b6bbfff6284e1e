#ifndef PROPAGATE_INSTALL_RELEASE_CHECK_H_
#define PROPAGATE_INSTALL_RELEASE_CHECK_H_

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "sys/minisign.h"
#include "table/release.h"

/// The directory whose *.pub files are the release keys trusted on this machine.
extern const char kTrustedKeyDirectory[];

/// The trusted keys: every *.pub of directory, when it exists, and every file of files. A directory that
/// is not root's, or that its group or others can write, is refused: whoever can put a key there decides
/// what is installed. "%s: Refusing the trusted keys of a directory that is not root's or that others can
/// write (owner %u, mode 0%o)", "%s: Cannot read the trusted keys: %s", and the key files' messages.
std::vector<MinisignPublicKey> LoadTrustedKeys(const std::string& directory, const std::vector<std::string>& files);

/// A release that its signature, its statement and the installed release allow to be installed.
struct CheckedRelease {
  ReleaseStatement statement;
  std::string sumsDigest;  ///< SHA-256 of SHA256SUMS
  Sha256Sums sums;
};
/// The signature and the sums of a release as a repository gives them, with the names its messages use.
struct ReleaseFiles {
  std::string signature;      ///< the text of SHA256SUMS.minisig
  std::string signatureName;  ///< where it was read from
  std::string sums;           ///< the text of SHA256SUMS
  std::string sumsName;
  std::string tableName;      ///< where files.txt was read from
};
/// The release files of the repository directory repodir (ending in "/"); "%s: Missing: the repository is
/// not signed, and this machine trusts release keys" and the messages of reading a file.
ReleaseFiles ReadReleaseFiles(const std::string& repodir);
/// Checks a release whose table text is table: the signature of the sums by one of keys, its statement, its
/// expiry against now, the SHA-256 of the table, and product and version against installed; with
/// allowDowngrade an older or equal version is accepted. One Error line for each refusal (see the manual
/// page).
CheckedRelease CheckRelease(const ReleaseFiles& files, const std::string& table,
                            const std::vector<MinisignPublicKey>& keys,
                            const std::optional<InstalledRelease>& installed, bool allowDowngrade, int64_t now);

#endif  // PROPAGATE_INSTALL_RELEASE_CHECK_H_
