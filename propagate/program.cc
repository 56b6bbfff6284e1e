#include "program.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "command_line.h"
#include "create/create.h"
#include "install/install.h"
#include "install/release_check.h"
#include "sys/run_error.h"
#include "sys/signal_guard.h"
#include "verify/verify.h"

namespace {

CreateOptions CreateOptionsOf(const Options& options) {
  CreateOptions create;
  create.progress = options.progress;
  create.jobs = options.jobs;
  create.owner = options.owner;
  create.group = options.group;
  create.keepPatterns = options.keepPatterns;
  create.stagedir = options.stagedir;
  create.repodir = options.repodir;
  create.signKey = options.signKey;
  create.passphraseFile = options.passphraseFile;
  create.release.product = options.product;
  create.release.version = options.releaseVersion;
  create.release.expires = options.expires;
  return create;
}

int RunForm(const Options& options, const CMinisignSecretKey* signingKey) {
  switch (options.form) {
    case CommandForm::Help:
      fputs(HelpText().c_str(), stdout);
      return 0;
    case CommandForm::Version:
      fputs(VersionText().c_str(), stdout);
      return 0;
    case CommandForm::Create:
      return RunCreate(CreateOptionsOf(options), signingKey);
    case CommandForm::Verify: {
      VerifyOptions verify;
      verify.progress = options.progress;
      verify.jobs = options.jobs;
      verify.table = options.table;
      verify.basedir = options.basedir;
      return RunVerify(verify);
    }
    case CommandForm::Run:
      break;
  }
  InstallOptions install;
  install.interactive = options.interactive;
  install.dryRun = options.dryRun;
  install.verbose = options.verbose;
  install.progress = options.progress;
  install.prune = options.prune;
  install.checksum = options.checksum;
  install.allowDowngrade = options.allowDowngrade;
  install.caCertificate = options.caCertificate;
  install.speedTime = static_cast<long>(options.speedTime);
  install.trustedKeyFiles = options.trustedKeys;
  // Tests and unusual installations name another directory; the default is the system's.
  const char* keyDirectory = getenv("PROPAGATE_TRUSTED_KEYS");
  install.trustedKeyDirectory = keyDirectory && *keyDirectory ? keyDirectory : kTrustedKeyDirectory;
  install.jobs = options.jobs;
  install.repodir = options.repodir;
  install.basedir = options.basedir;
  return RunInstall(install);
}

}  // namespace

int Run(int argc, char** argv) {
  const Options options = ParseCommandLine(argc, argv);
  // The key is read, and its passphrase asked for, while signals still reach this thread: an interrupted prompt
  // unwinds and gives the terminal its echo back, which the guard's sudden end would not.
  std::unique_ptr<CMinisignSecretKey> signingKey;
  if (options.form == CommandForm::Create)
    signingKey = LoadSigningKey(CreateOptionsOf(options));
  CSignalGuard signals;
  int status = RunForm(options, signingKey.get());
  // Output that scripts read must not end short without a word: a full disk or a closed pipe fails the run.
  errno = 0;
  if (fflush(stdout) != 0 || ferror(stdout))
    FailErrno(errno != 0 ? errno : EIO, "write(standard output)");
  return status;
}
