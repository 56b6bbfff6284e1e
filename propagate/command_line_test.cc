#include "command_line.h"

#include <gtest/gtest.h>

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
      {{"--verify", "--create", "a", "b"}, "Syntax: propagate [-i] <repodir> <basedir>"},
      {{"--verify"}, "Syntax: propagate --verify [--table NAME] <basedir>"},
      {{"--verify", "a", "b"}, "Syntax: propagate --verify [--table NAME] <basedir>"},
      {{"--verify", "--prune", "a"}, "Syntax: propagate --verify [--table NAME] <basedir>"},
      {{"--verify", "--table=", "a"}, "Syntax: propagate --verify [--table NAME] <basedir>"},
      {{"--create", "s"}, "Syntax: propagate --create [options] <stagedir> <repodir>"},
      {{"--create", "-n", "s", "r"}, "Syntax: propagate --create [options] <stagedir> <repodir>"},
      {{"--create", "--owner", "", "s", "r"}, "Syntax: propagate --create [options] <stagedir> <repodir>"},
  };
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
                             "--create", "--owner", "--group", "--keep", "--help", "--version"})
    EXPECT_NE(std::string::npos, help.find(option)) << option;
  EXPECT_EQ(0u, VersionText().rfind("propagate ", 0));
}
