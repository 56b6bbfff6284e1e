#ifndef PROPAGATE_COMMAND_LINE_H_
#define PROPAGATE_COMMAND_LINE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

/// The forms of the command line.
enum class CommandForm { Run, Create, Verify, Help, Version };

/// Everything the command line says, before anything is done with it.
struct Options {
  CommandForm form = CommandForm::Run;
  bool interactive = false;  ///< -i: recorded, read by no operation
  bool dryRun = false;       ///< -n, --dry-run: decide and print, change nothing
  bool verbose = false;      ///< -v, --verbose: print each action as it is done
  bool progress = false;     ///< --progress: a status line on a terminal's standard error
  bool checksum = false;     ///< -c, --checksum: read every installed file
  bool allowDowngrade = false;           ///< --allow-downgrade
  std::vector<std::string> trustedKeys;  ///< --trusted-key FILE, in order
  std::string caCertificate;             ///< --cacert FILE
  int64_t speedTime = 30;                ///< --speed-time SECONDS
  bool prune = false;        ///< --prune: remove what the old table installed and the new one dropped
  unsigned jobs = 0;         ///< -j, --jobs: records in progress at once; 0 until DefaultJobs fills it
  std::string table;         ///< --table: the installed table's name for --verify; empty means files.txt
  std::string owner;         ///< --create --owner: one owner name for every record; empty: the tree's own
  std::string group;         ///< --create --group: one group name for every record; empty: the tree's own
  std::vector<std::string> keepPatterns;  ///< --create --keep: shell patterns of paths that keep local changes
  std::string signKey;                    ///< --create --sign: the minisign secret key; empty: no signature
  std::string passphraseFile;             ///< --sign --passphrase-file: the key's passphrase is its first line
  std::string product;                    ///< --sign --product: the product that the release names
  uint64_t releaseVersion = 0;            ///< --sign --release-version: the release's version
  std::optional<int64_t> expires;         ///< --sign --expires: seconds since 1970 when the release expires
  std::string repodir;   ///< Run: repository directory; Create: the repository to write
  std::string basedir;   ///< Run and Verify: base directory
  std::string stagedir;  ///< Create: the staged tree to read
};

/// The syntax line of the run form, the message of any malformed run command line.
extern const char kRunSyntax[];
/// The syntax line of --create.
extern const char kCreateSyntax[];
/// The syntax line of --verify.
extern const char kVerifySyntax[];

/// Turns the program's arguments into Options; RunError with the form's syntax line when malformed.
/// Options may stand before, between or after the operands; after "--" everything is an operand. An empty
/// operand fails ("The %s operand is empty"). Directories are taken as given (no slash added).
Options ParseCommandLine(int argc, char** argv);

/// The text that --help prints.
std::string HelpText();
/// The text that --version prints.
std::string VersionText();

#endif  // PROPAGATE_COMMAND_LINE_H_
