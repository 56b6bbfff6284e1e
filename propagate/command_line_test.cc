#include "command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "sys/test_support.h"

namespace {

Options Parse(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "propagate");
  std::vector<char*> argv;
  for (std::string& argument : arguments)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  return ParseCommandLine(static_cast<int>(arguments.size()), argv.data());
}

/// A compact picture of what was parsed, so that each case is one line.
std::string Describe(const Options& o) {
  static const char* const kForms[] = {"run", "create", "verify", "help", "version"};
  std::string text = kForms[static_cast<int>(o.form)];
  if (o.interactive)
    text += " -i";
  if (o.dryRun)
    text += " -n";
  if (o.verbose)
    text += " -v";
  if (o.progress)
    text += " progress";
  if (o.prune)
    text += " prune";
  if (o.checksum)
    text += " checksum";
  if (o.jobs)
    text += " j" + std::to_string(o.jobs);
  if (!o.table.empty())
    text += " table=" + o.table;
  if (!o.owner.empty())
    text += " owner=" + o.owner;
  if (!o.group.empty())
    text += " group=" + o.group;
  for (const std::string& pattern : o.keepPatterns)
    text += " keep=" + pattern;
  if (!o.signKey.empty())
    text += " sign=" + o.signKey + " product=" + o.product + " version=" + std::to_string(o.releaseVersion);
  if (o.expires)
    text += " expires=" + std::to_string(*o.expires);
  if (!o.passphraseFile.empty())
    text += " passphrase=" + o.passphraseFile;
  if (!o.caCertificate.empty())
    text += " cacert=" + o.caCertificate;
  if (o.speedTime != 30)
    text += " speed-time=" + std::to_string(o.speedTime);
  for (const std::string* operand : {&o.stagedir, &o.repodir, &o.basedir})
    if (!operand->empty())
      text += " [" + *operand + "]";
  return text;
}

}  // namespace

TEST(CommandLine, FormsAndOptions) {
  struct Case {
    std::vector<std::string> arguments;
    const char* expected;  // Describe() of the result, or the error message
  } cases[] = {
      {{"repo", "base"}, "run [repo] [base]"},
      {{"-i", "repo", "base"}, "run -i [repo] [base]"},
      {{"repo", "base", "x", "y"}, "run [repo] [base]"},
      {{"-i", "repo", "base", "x", "y"}, "run -i [repo] [base]"},
      {{"-nv", "--prune", "-j", "3", "r", "b"}, "run -n -v prune j3 [r] [b]"},
      {{"-vc", "r", "--checksum", "b"}, "run -v checksum [r] [b]"},
      {{"--dry-run", "--verbose", "--jobs=7", "--progress", "r", "b"}, "run -n -v progress j7 [r] [b]"},
      {{"-j4", "--jobs", "2", "r", "b"}, "run j2 [r] [b]"},
      {{"--", "-r", "b"}, "run [-r] [b]"},
      {{"-", "b"}, "run [-] [b]"},
      // Options after the operands count, up to "--".
      {{"repo", "base", "-n", "-v"}, "run -n -v [repo] [base]"},
      {{"repo", "-n", "base", "--prune", "x", "y"}, "run -n prune [repo] [base]"},
      {{"repo", "base", "-i"}, "run -i [repo] [base]"},
      {{"--", "-i", "repo", "base"}, "run -i [repo] [base]"},
      {{"repo", "base", "--", "-n", "x"}, "run [repo] [base]"},
      {{"s", "r", "--create", "-j2"}, "create j2 [s] [r]"},
      {{"base", "--verify"}, "verify [base]"},
      // An empty operand never stands for the root directory.
      {{"repo", ""}, "The <basedir> operand is empty"},
      {{"", "base"}, "The <repodir> operand is empty"},
      {{"--verify", ""}, "The <basedir> operand is empty"},
      {{"--create", "s", ""}, "The <repodir> operand is empty"},
      {{"--create", "", "r"}, "The <stagedir> operand is empty"},
      {{"--verify", "base"}, "verify [base]"},
      {{"--table", "t.txt", "--verify", "-j", "2", "base"}, "verify j2 table=t.txt [base]"},
      {{"--create", "--owner", "root", "--group=staff", "--keep", "etc/*", "--keep", "var", "s", "r"},
       "create owner=root group=staff keep=etc/* keep=var [s] [r]"},
      {{"--create", "--sign", "k.key", "--product=velmira", "--release-version", "18446744073709551615", "s", "r"},
       "create sign=k.key product=velmira version=18446744073709551615 [s] [r]"},
      {{"s", "--sign=k", "--expires", "0", "--passphrase-file", "pw", "--release-version=3", "--product", "v",
        "--create", "r"},
       "create sign=k product=v version=3 expires=0 passphrase=pw [s] [r]"},
      {{"--cacert", "ca.pem", "--speed-time=2", "https://m/r", "b"}, "run cacert=ca.pem speed-time=2 [https://m/r] [b]"},
      {{"--help"}, "help"},
      {{"-n", "--help", "r"}, "help -n"},
      {{"--version"}, "version"},
      // Malformed command lines: the syntax line of the form they meant.
      {{}, "Syntax: propagate [-i] <repodir> <basedir>"},
      {{"repo"}, "Syntax: propagate [-i] <repodir> <basedir>"},
      {{"repo", "base", "x"}, "Syntax: propagate [-i] <repodir> <basedir>"},
      {{"repo", "base", "-x"}, "Syntax: propagate [-i] <repodir> <basedir>"},
      {{"-x", "repo", "base"}, "Syntax: propagate [-i] <repodir> <basedir>"},
      {{"-ix", "repo", "base"}, "Syntax: propagate [-i] <repodir> <basedir>"},
      {{"--i", "repo", "base"}, "Syntax: propagate [-i] <repodir> <basedir>"},
      {{"--dry", "repo", "base"}, "Syntax: propagate [-i] <repodir> <basedir>"},
      {{"-j", "0", "repo", "base"}, "Syntax: propagate [-i] <repodir> <basedir>"},
      {{"-j", "2x", "repo", "base"}, "Syntax: propagate [-i] <repodir> <basedir>"},
      {{"-j", "99999", "repo", "base"}, "Syntax: propagate [-i] <repodir> <basedir>"},
      {{"repo", "base", "-j"}, "Syntax: propagate [-i] <repodir> <basedir>"},
      {{"-j"}, "Syntax: propagate [-i] <repodir> <basedir>"},
      {{"--table", "t", "repo", "base"}, "Syntax: propagate [-i] <repodir> <basedir>"},
      {{"--speed-time", "0", "repo", "base"}, "Syntax: propagate [-i] <repodir> <basedir>"},
      {{"--cacert=", "repo", "base"}, "Syntax: propagate [-i] <repodir> <basedir>"},
      {{"--verify", "--cacert", "c", "a"}, "Syntax: propagate --verify [--table NAME] <basedir>"},
      {{"--verify", "--create", "a", "b"}, "Syntax: propagate [-i] <repodir> <basedir>"},
      {{"--verify"}, "Syntax: propagate --verify [--table NAME] <basedir>"},
      {{"--verify", "a", "b"}, "Syntax: propagate --verify [--table NAME] <basedir>"},
      {{"--verify", "--prune", "a"}, "Syntax: propagate --verify [--table NAME] <basedir>"},
      {{"--verify", "--table=", "a"}, "Syntax: propagate --verify [--table NAME] <basedir>"},
      {{"--create", "s"}, "Syntax: propagate --create [options] <stagedir> <repodir>"},
      {{"--create", "-n", "s", "r"}, "Syntax: propagate --create [options] <stagedir> <repodir>"},
      {{"--create", "--owner", "", "s", "r"}, "Syntax: propagate --create [options] <stagedir> <repodir>"},
      {{"--sign", "k", "--product", "v", "--release-version", "1", "r", "b"},
       "Syntax: propagate [-i] <repodir> <basedir>"},
  };
  // Signing options: --sign needs the product and the version, the others need --sign, and values are checked.
  const char* const kSigned[] = {"--create", "--sign", "k", "--product", "v", "--release-version", "1", "s", "r"};
  struct SigningCase {
    std::vector<std::string> changes;  // appended, or "drop X" to drop option --X and its value
  } signingCases[] = {
      {{"drop sign"}},
      {{"drop product"}},
      {{"drop release-version"}},
      {{"drop sign", "--expires", "5"}},
      {{"drop sign", "drop product", "drop release-version", "--passphrase-file", "pw"}},
      {{"drop sign", "drop release-version", "drop product", "--product", "v"}},
      {{"--sign="}},
      {{"--passphrase-file="}},
      {{"--product="}},
      {{"--product", "velmira 2"}},
      {{"--product", "v\x7f"}},
      {{"--release-version", "18446744073709551616"}},
      {{"--release-version", "-1"}},
      {{"--release-version", "0x10"}},
      {{"--release-version", ""}},
      {{"--expires", "9223372036854775808"}},
      {{"--expires", "-5"}},
      {{"--expires", "1e9"}},
      {{"--product"}},
  };
  for (const SigningCase& c : signingCases) {
    std::vector<std::string> arguments(std::begin(kSigned), std::end(kSigned));
    for (const std::string& change : c.changes) {
      if (change.rfind("drop ", 0) == 0) {
        auto at = std::find(arguments.begin(), arguments.end(), "--" + change.substr(5));
        ASSERT_NE(arguments.end(), at) << change;
        arguments.erase(at, at + 2);
      } else {
        arguments.push_back(change);
      }
    }
    std::string joined;
    for (const std::string& argument : arguments)
      joined += "'" + argument + "' ";
    std::string got;
    try {
      got = Describe(Parse(arguments));
    } catch (const std::exception& error) {
      got = error.what();
    }
    EXPECT_EQ("Syntax: propagate --create [options] <stagedir> <repodir>", got) << joined;
  }
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& argument : c.arguments)
      joined += "'" + argument + "' ";
    std::string got;
    try {
      got = Describe(Parse(c.arguments));
    } catch (const std::exception& error) {
      got = error.what();
    }
    EXPECT_EQ(c.expected, got) << joined;
  }
}

TEST(CommandLine, HelpNamesEveryOption) {
  std::string help = HelpText();
  for (const char* option : {"-i", "--dry-run", "--verbose", "--progress", "--prune", "--jobs", "--verify", "--table",
                             "--create", "--owner", "--group", "--keep", "--sign", "--product", "--release-version",
                             "--expires", "--passphrase-file", "--cacert", "--speed-time", "--help", "--version"})
    EXPECT_NE(std::string::npos, help.find(option)) << option;
  EXPECT_EQ(0u, VersionText().rfind("propagate ", 0));
}
