#include "command_line.h"

#include <charconv>
#include <cstring>
#include <string_view>

#include "sys/run_error.h"
#include "table/release.h"

#ifndef KIT_VERSION
#define KIT_VERSION "unknown"
#endif

const char kRunSyntax[] = "Syntax: propagate [-i] <repodir> <basedir>";
const char kCreateSyntax[] = "Syntax: propagate --create [options] <stagedir> <repodir>";
const char kVerifySyntax[] = "Syntax: propagate --verify [--table NAME] <basedir>";

namespace {

constexpr unsigned kMaxJobs = 1024;

/// Which options each form accepts; anything else makes the command line malformed for that form.
enum OptionBit : unsigned {
  kInteractive = 1u << 0,
  kDryRun = 1u << 1,
  kVerbose = 1u << 2,
  kProgress = 1u << 3,
  kPrune = 1u << 4,
  kJobs = 1u << 5,
  kTable = 1u << 6,
  kOwner = 1u << 7,
  kGroup = 1u << 8,
  kKeep = 1u << 9,
  kChecksum = 1u << 10,
  kSign = 1u << 11,
  kProduct = 1u << 12,
  kReleaseVersion = 1u << 13,
  kExpires = 1u << 14,
  kPassphraseFile = 1u << 15,
  kTrustedKey = 1u << 16,
  kAllowDowngrade = 1u << 17,
  kCaCertificate = 1u << 18,
  kSpeedTime = 1u << 19,
};
constexpr unsigned kRunOptions =
    kInteractive | kDryRun | kVerbose | kProgress | kPrune | kJobs | kChecksum | kTrustedKey | kAllowDowngrade |
    kCaCertificate | kSpeedTime;
// The options that describe a signature mean nothing without --sign, which needs the release's product and version.
constexpr unsigned kSigningOptions = kProduct | kReleaseVersion | kExpires | kPassphraseFile;
constexpr unsigned kCreateOptions = kProgress | kJobs | kOwner | kGroup | kKeep | kSign | kSigningOptions;
constexpr unsigned kVerifyOptions = kProgress | kJobs | kTable;

/// Collects options while the form is not yet known; the syntax line is chosen once it is.
struct Scan {
  Options options;
  unsigned used = 0;
  bool create = false;
  bool verify = false;
  bool help = false;
  bool version = false;
  bool malformed = false;
};

bool ParseJobs(std::string_view text, unsigned& jobs) {
  if (text.empty() || text.size() > 5)
    return false;
  unsigned value = 0;
  for (char digit : text) {
    if (digit < '0' || digit > '9')
      return false;
    value = value * 10 + static_cast<unsigned>(digit - '0');
  }
  if (value == 0 || value > kMaxJobs)
    return false;
  jobs = value;
  return true;
}

/// The unsigned decimal number of text, digits only, into number; false when it is none or too large.
template <typename Number>
bool ParseDecimal(std::string_view text, Number& number) {
  const std::optional<Number> parsed = ParseDecimalDigits<Number>(text);
  if (parsed)
    number = *parsed;
  return parsed.has_value();
}

/// Applies one option that takes a value; false when the name is not one of them.
bool TakeValueOption(Scan& scan, std::string_view name, const std::string& value) {
  Options& options = scan.options;
  if (name == "jobs" || name == "j") {
    scan.used |= kJobs;
    if (!ParseJobs(value, options.jobs))
      scan.malformed = true;
  } else if (name == "table") {
    scan.used |= kTable;
    options.table = value;
    if (value.empty())
      scan.malformed = true;
  } else if (name == "owner") {
    scan.used |= kOwner;
    options.owner = value;
    if (value.empty())
      scan.malformed = true;
  } else if (name == "group") {
    scan.used |= kGroup;
    options.group = value;
    if (value.empty())
      scan.malformed = true;
  } else if (name == "keep") {
    scan.used |= kKeep;
    options.keepPatterns.push_back(value);
  } else if (name == "trusted-key") {
    scan.used |= kTrustedKey;
    options.trustedKeys.push_back(value);
    if (value.empty())
      scan.malformed = true;
  } else if (name == "sign") {
    scan.used |= kSign;
    options.signKey = value;
    if (value.empty())
      scan.malformed = true;
  } else if (name == "passphrase-file") {
    scan.used |= kPassphraseFile;
    options.passphraseFile = value;
    if (value.empty())
      scan.malformed = true;
  } else if (name == "product") {
    scan.used |= kProduct;
    options.product = value;
    if (!IsProductName(value))
      scan.malformed = true;
  } else if (name == "release-version") {
    scan.used |= kReleaseVersion;
    if (!ParseDecimal(value, options.releaseVersion))
      scan.malformed = true;
  } else if (name == "cacert") {
    scan.used |= kCaCertificate;
    options.caCertificate = value;
    if (value.empty())
      scan.malformed = true;
  } else if (name == "speed-time") {
    scan.used |= kSpeedTime;
    // At least a second: no transfer could live under a shorter limit, and curl takes whole seconds.
    if (!ParseDecimal(value, options.speedTime) || options.speedTime < 1 || options.speedTime > 86400)
      scan.malformed = true;
  } else if (name == "expires") {
    scan.used |= kExpires;
    int64_t seconds = 0;
    if (ParseDecimal(value, seconds))
      options.expires = seconds;
    else
      scan.malformed = true;
  } else {
    return false;
  }
  return true;
}

/// Applies one option without a value; false when the name is not one of them.
bool TakeFlagOption(Scan& scan, std::string_view name) {
  Options& options = scan.options;
  if (name == "i") {
    scan.used |= kInteractive;
    options.interactive = true;
  } else if (name == "n" || name == "dry-run") {
    scan.used |= kDryRun;
    options.dryRun = true;
  } else if (name == "v" || name == "verbose") {
    scan.used |= kVerbose;
    options.verbose = true;
  } else if (name == "progress") {
    scan.used |= kProgress;
    options.progress = true;
  } else if (name == "prune") {
    scan.used |= kPrune;
    options.prune = true;
  } else if (name == "c" || name == "checksum") {
    scan.used |= kChecksum;
    options.checksum = true;
  } else if (name == "allow-downgrade") {
    scan.used |= kAllowDowngrade;
    options.allowDowngrade = true;
  } else if (name == "create") {
    scan.create = true;
  } else if (name == "verify") {
    scan.verify = true;
  } else if (name == "help") {
    scan.help = true;
  } else if (name == "version") {
    scan.version = true;
  } else {
    return false;
  }
  return true;
}

/// The operand itself; an empty one fails. The system would read "" as no directory, and joining a name
/// to it as the root directory: a script's unset variable must never install into "/".
const std::string& RequireOperand(const std::string& operand, const char* role) {
  if (operand.empty())
    Fail("The %s operand is empty", role);
  return operand;
}

bool TakesValue(std::string_view name) {
  return name == "jobs" || name == "j" || name == "table" || name == "owner" || name == "group" || name == "keep" ||
         name == "trusted-key" || name == "sign" || name == "passphrase-file" || name == "product" ||
         name == "release-version" || name == "expires" || name == "cacert" || name == "speed-time";
}

}  // namespace

Options ParseCommandLine(int argc, char** argv) {
  Scan scan;
  // Options are read wherever they stand before "--", as GNU programs read them: "repo base -n" must be a
  // dry run, never a run whose "-n" went unseen among ignored operands.
  std::vector<std::string> operands;
  int index = 1;
  while (index < argc) {
    std::string_view argument = argv[index++];
    if (argument == "--") {
      operands.insert(operands.end(), argv + index, argv + argc);
      break;
    }
    if (argument.size() < 2 || argument[0] != '-') {
      operands.emplace_back(argument);  // "-" alone is an operand
      continue;
    }
    if (argument.substr(0, 2) == "--") {
      std::string_view name = argument.substr(2);
      size_t equals = name.find('=');
      if (name.size() < 2 || equals < 2) {
        scan.malformed = true;  // one-letter names are short options only: "--i" is no "-i"
      } else if (equals != std::string_view::npos) {
        std::string value(name.substr(equals + 1));
        if (!TakeValueOption(scan, name.substr(0, equals), value))
          scan.malformed = true;
      } else if (TakesValue(name)) {
        if (index >= argc)
          scan.malformed = true;
        else
          TakeValueOption(scan, name, argv[index++]);
      } else if (!TakeFlagOption(scan, name)) {
        scan.malformed = true;
      }
      continue;
    }
    // A cluster of one-letter options; "-j" takes the rest of the cluster, or the next argument.
    for (size_t at = 1; at < argument.size(); ++at) {
      std::string_view letter = argument.substr(at, 1);
      if (letter == "j") {
        std::string value(argument.substr(at + 1));
        if (value.empty()) {
          if (index >= argc) {
            scan.malformed = true;
            break;
          }
          value = argv[index++];
        }
        TakeValueOption(scan, letter, value);
        break;
      }
      if (letter == "n" || letter == "v" || letter == "i" || letter == "c") {
        TakeFlagOption(scan, letter);
      } else {
        scan.malformed = true;
        break;
      }
    }
  }

  Options options = std::move(scan.options);
  if (scan.help) {
    options.form = CommandForm::Help;
    return options;
  }
  if (scan.version) {
    options.form = CommandForm::Version;
    return options;
  }
  if (scan.create && scan.verify)
    Fail("%s", kRunSyntax);
  if (scan.create) {
    const bool signing = scan.used & kSign;
    const bool releaseNamed = (scan.used & (kProduct | kReleaseVersion)) == (kProduct | kReleaseVersion);
    if (scan.malformed || (scan.used & ~kCreateOptions) || operands.size() != 2 || signing != releaseNamed ||
        (!signing && (scan.used & kSigningOptions)))
      Fail("%s", kCreateSyntax);
    options.form = CommandForm::Create;
    options.stagedir = RequireOperand(operands[0], "<stagedir>");
    options.repodir = RequireOperand(operands[1], "<repodir>");
    return options;
  }
  if (scan.verify) {
    if (scan.malformed || (scan.used & ~kVerifyOptions) || operands.size() != 1)
      Fail("%s", kVerifySyntax);
    options.form = CommandForm::Verify;
    options.basedir = RequireOperand(operands[0], "<basedir>");
    return options;
  }
  // Three operands are the old way of writing "-i" in front, which only "--" keeps from being read as the
  // option; any other third operand is a mistake, while operands after a fourth are ignored as they always
  // were, for the scripts that pass them.
  if (operands.size() == 3 && operands[0] == "-i") {
    options.interactive = true;
    operands.erase(operands.begin());
  }
  if (scan.malformed || (scan.used & ~kRunOptions) || operands.size() < 2 || operands.size() == 3)
    Fail("%s", kRunSyntax);
  options.form = CommandForm::Run;
  options.repodir = RequireOperand(operands[0], "<repodir>");
  options.basedir = RequireOperand(operands[1], "<basedir>");
  return options;
}

std::string HelpText() {
  return "Usage: propagate [-i] [-n] [-v] [-c] [--progress] [--prune] [-j N] [--trusted-key FILE]...\n"
         "                 [--allow-downgrade] [--cacert FILE] [--speed-time SECONDS]\n"
         "                 <repodir|URL> <basedir>\n"
         "       propagate --verify [--table NAME] [--progress] [-j N] <basedir>\n"
         "       propagate --create [--owner NAME] [--group NAME] [--keep PATTERN]... [--progress] [-j N]\n"
         "                 [--sign KEY --product NAME --release-version N [--expires SECONDS]\n"
         "                 [--passphrase-file FILE]] <stagedir> <repodir>\n"
         "       propagate --help | --version\n"
         "\n"
         "Installs or upgrades the tree that repodir/files.txt describes in basedir. A repository\n"
         "on a mirror is named by its http://, https:// or file:// URL; only the content that\n"
         "basedir lacks is downloaded.\n"
         "\n"
         "  -i                 accepted for compatibility; no effect\n"
         "  -n, --dry-run      print what a run would do, change nothing\n"
         "  -v, --verbose      print each action as it is done\n"
         "  -c, --checksum     read every installed file, trusting no fingerprint of an earlier run\n"
         "      --progress     show a status line when standard error is a terminal\n"
         "      --prune        remove what the old table installed and the new table dropped\n"
         "  -j, --jobs N       work on at most N records at once, 1 to 1024 (default: the CPUs,\n"
         "                     at most 16)\n"
         "      --trusted-key FILE  trust the minisign public key FILE besides those of\n"
         "                     /etc/propagate/trusted-keys: the release must be signed by one\n"
         "      --allow-downgrade  install a signed release older than the installed one\n"
         "      --cacert FILE  trust the CAs of the PEM file FILE for a mirror's certificate\n"
         "                     (default: the system's)\n"
         "      --speed-time SECONDS\n"
         "                     end a download that moved under 1 byte a second for SECONDS\n"
         "                     (default 30)\n"
         "      --verify       compare basedir with its installed table; change nothing\n"
         "      --table NAME   with --verify: the installed table's name (default files.txt)\n"
         "      --create       make a repository from a staged tree\n"
         "      --owner NAME   with --create: record NAME as every entry's owner, the table's too\n"
         "      --group NAME   with --create: record NAME as every entry's group, the table's too\n"
         "      --keep PATTERN with --create: matching files keep local changes, matching directories\n"
         "                     are left as they are when they exist\n"
         "      --sign KEY     with --create: sign the release with the minisign secret key KEY\n"
         "                     (SHA256SUMS and SHA256SUMS.minisig beside the table)\n"
         "      --product NAME with --sign: the product that the signed release names\n"
         "      --release-version N\n"
         "                     with --sign: the release's version, an unsigned 64-bit number\n"
         "      --expires SECONDS\n"
         "                     with --sign: the time (seconds since 1970) after which the release\n"
         "                     is refused\n"
         "      --passphrase-file FILE\n"
         "                     with --sign: the key's passphrase is FILE's first line (default:\n"
         "                     asked on the terminal when the key is encrypted)\n"
         "      --help         print this text and exit\n"
         "      --version      print the version and exit\n"
         "\n"
         "Options that take a value also take it as -jN or --jobs=N.\n"
         "\n"
         "Exit status: 0 success; 1 failure (one \"Error:\" line on standard error);\n"
         "2 with --verify when something differs that a run would put back.\n"
         "See propagate(1) and files.txt(5).\n";
}

std::string VersionText() { return "propagate (Velmira installation kit) " KIT_VERSION "\n"; }
