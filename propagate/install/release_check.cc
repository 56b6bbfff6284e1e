#include "install/release_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <memory>

#include "sys/descriptor.h"
#include "sys/mapped_file.h"
#include "sys/run_error.h"
#include "sys/sha256.h"

const char kTrustedKeyDirectory[] = "/etc/propagate/trusted-keys";

namespace {

/// The whole regular file at path; "%s: Cannot open: %s" and the other messages of a mapped file.
std::string ReadRepositoryFile(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0 && errno == ENOENT)
    Fail("%s: Missing: the repository is not signed, and this machine trusts release keys", path.c_str());
  return ReadWholeFile(path);
}

std::string Sha256Of(const std::string& bytes) {
  CControlSumSHA256 sum;
  sum.Update(bytes.data(), bytes.size());
  return sum.HexDigest();
}

}  // namespace

std::vector<MinisignPublicKey> LoadTrustedKeys(const std::string& directory, const std::vector<std::string>& files) {
  std::vector<MinisignPublicKey> keys;
  struct stat status;
  if (lstat(directory.c_str(), &status) == 0) {
    if (!S_ISDIR(status.st_mode) || status.st_uid != 0 || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
      Fail(
          "%s: Refusing the trusted keys of a directory that is not root's or that others can write (owner %u, "
          "mode 0%o)",
          directory.c_str(), static_cast<unsigned>(status.st_uid), static_cast<unsigned>(status.st_mode & 07777));
    CDirectoryStream listing(opendir(directory.c_str()));
    if (!listing)
      FailErrno(errno, "%s: Cannot read the trusted keys", directory.c_str());
    std::vector<std::string> names;
    while (const struct dirent* entry = readdir(listing.get())) {
      const std::string name = entry->d_name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pub") == 0 && name[0] != '.')
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      const std::string path = directory + "/" + name;
      // A key that another could have written, or a link to one, vouches for nothing.
      struct stat key;
      if (lstat(path.c_str(), &key) != 0 || !S_ISREG(key.st_mode) || key.st_uid != 0 ||
          (key.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        Fail("%s: Refusing a trusted key that is no regular file of root's or that others can write", path.c_str());
      keys.push_back(ReadMinisignPublicKey(path));
    }
  } else if (errno != ENOENT) {
    FailErrno(errno, "%s: Cannot read the trusted keys", directory.c_str());
  }
  for (const std::string& file : files)
    keys.push_back(ReadMinisignPublicKey(file));
  return keys;
}

ReleaseFiles ReadReleaseFiles(const std::string& repodir) {
  ReleaseFiles files;
  files.signatureName = repodir + kSignatureName;
  files.sumsName = repodir + kSha256SumsName;
  files.tableName = repodir + "files.txt";
  files.signature = ReadRepositoryFile(files.signatureName);
  files.sums = ReadRepositoryFile(files.sumsName);
  return files;
}

CheckedRelease CheckRelease(const ReleaseFiles& files, const std::string& table,
                            const std::vector<MinisignPublicKey>& keys,
                            const std::optional<InstalledRelease>& installed, bool allowDowngrade, int64_t now) {
  const std::string& sumsPath = files.sumsName;
  const std::string& signaturePath = files.signatureName;
  const std::string& signature = files.signature;
  const std::string& sumsText = files.sums;
  CheckedRelease release;
  release.statement =
      ParseTrustedComment(VerifyMinisignSignature(signature, signaturePath, sumsText, keys), signaturePath);
  const ReleaseStatement& statement = release.statement;
  if (statement.expires && *statement.expires < now)
    Fail("%s: The release expired at %" PRId64 " (seconds since 1970), it is now %" PRId64
         ": a mirror that no longer follows the releases?",
         signaturePath.c_str(), *statement.expires, now);
  release.sumsDigest = Sha256Of(sumsText);
  release.sums = ParseSha256Sums(sumsText, sumsPath);
  auto listed = release.sums.find("files.txt");
  if (listed == release.sums.end())
    Fail("%s: files.txt is not listed", sumsPath.c_str());
  const std::string tableDigest = Sha256Of(table);
  if (tableDigest != listed->second)
    Fail("%s: The table's SHA-256 is %s, SHA256SUMS gives %s", files.tableName.c_str(), tableDigest.c_str(),
         listed->second.c_str());
  if (installed) {
    if (installed->product != statement.product)
      Fail("%s: The release is of product %s, the installation of %s", signaturePath.c_str(), statement.product.c_str(),
           installed->product.c_str());
    if (!allowDowngrade && statement.version < installed->version)
      Fail("%s: Version %" PRIu64 " is older than the installed version %" PRIu64 " (--allow-downgrade installs it)",
           signaturePath.c_str(), statement.version, installed->version);
    if (!allowDowngrade && statement.version == installed->version && release.sumsDigest != installed->sumsDigest)
      Fail("%s: Version %" PRIu64
           " is installed with other content (another SHA256SUMS; --allow-downgrade "
           "installs it)",
           signaturePath.c_str(), statement.version);
  }
  return release;
}
