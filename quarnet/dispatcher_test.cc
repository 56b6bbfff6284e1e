#include "dispatcher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

const char kUsage[] =
    "Kestrin compatibility utility\n"
    "Part of the Velmira installation kit.\n"
    "Usage: quarnet command [parameters]\n"
    "Valid commands: mtime symlink dos2unix locase randsleep logger kill\n";

Outcome RunDispatch(const Command* table, std::vector<std::string> args) {
  return RunCaptured([table](int argc, char** argv) { return Dispatch(table, argc, argv); }, std::move(args));
}

std::vector<std::string> receivedArgs;
int RecordArgs(int argc, char** argv) {
  receivedArgs.assign(argv, argv + argc);
  return argv[argc] == nullptr ? 42 : 99;
}
int Unreachable(int, char**) { return 77; }

const Command kFakeTable[] = {
    {"first", RecordArgs, "<a> [b]", "records its arguments"},
    {"first", Unreachable, "<c>", "is never reached"},
    {nullptr, Unreachable, nullptr, nullptr},
    {"hidden", Unreachable, "<d>", "is past the end"},
};

TEST(Dispatcher, UnrecognisedCommandWordPrintsUsageOnly) {
  const std::vector<std::vector<std::string>> cases = {
      {"quarnet"},          {"quarnet", "MTIME"},       {"quarnet", "mtime "},
      {"quarnet", "mtim"},  {"quarnet", "-h", "mtime"}, {"quarnet", ""},
      {"quarnet", "-h"},    {"quarnet", "--HELP"},      {"quarnet", "--help "},
      {"quarnet", "-help"}, {"quarnet", "--versio"},    {"quarnet", "-V"},
  };
  for (const auto& args : cases) {
    Outcome outcome = RunDispatch(kCommands, args);
    EXPECT_EQ(1, outcome.status) << args.size();
    EXPECT_EQ(kUsage, outcome.out);
    EXPECT_EQ("", outcome.err);
  }
}

TEST(Dispatcher, HelpListsEveryRowAndVersionNamesTheKit) {
  const char kFakeHelp[] =
      "Kestrin compatibility utility\n"
      "Part of the Velmira installation kit.\n"
      "Usage: quarnet command [parameters]\n"
      "       quarnet --help | --version\n"
      "\n"
      "Commands:\n"
      "  quarnet first <a> [b]\n"
      "        records its arguments\n"
      "  quarnet first <c>\n"
      "        is never reached\n"
      "\n"
      "Exit status: 0 on success; 1 on any failure and after the usage.\n"
      "See quarnet(1).\n";
  // Words after the option are ignored, as commands ignore extra parameters.
  for (const auto& args : std::vector<std::vector<std::string>>{{"quarnet", "--help"}, {"quarnet", "--help", "x"}}) {
    Outcome outcome = RunDispatch(kFakeTable, args);
    EXPECT_EQ(0, outcome.status);
    EXPECT_EQ(kFakeHelp, outcome.out);
    EXPECT_EQ("", outcome.err);
  }
  Outcome outcome = RunDispatch(kCommands, {"quarnet", "--version", "--help"});
  EXPECT_EQ(0, outcome.status);
  EXPECT_EQ(VersionText(), outcome.out);
  EXPECT_TRUE(
      std::regex_match(outcome.out, std::regex("quarnet \\(Velmira installation kit\\) [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << outcome.out;
  EXPECT_EQ("", outcome.err);
}

TEST(Dispatcher, HelpShowsTheSyntaxLineThatEachCommandPrints) {
  std::string help = RunDispatch(kCommands, {"quarnet", "--help"}).out;
  int rows = 0;
  for (const Command* row = kCommands; row->name != nullptr; ++row, ++rows) {
    Outcome outcome = RunDispatch(kCommands, {"quarnet", row->name});
    EXPECT_EQ(1, outcome.status) << row->name;
    EXPECT_EQ(std::string("Syntax: ") + row->name + " " + row->parameters + "\n", outcome.err);
    std::string entry =
        std::string("\n  quarnet ") + row->name + " " + row->parameters + "\n        " + row->summary + "\n";
    EXPECT_NE(std::string::npos, help.find(entry)) << entry;
    EXPECT_LT(strlen(row->summary) + 8, 80u) << row->summary;
  }
  EXPECT_EQ(7, rows);
}

TEST(Dispatcher, HandlerGetsArgumentsFromCommandWordAndItsStatusPassesThrough) {
  Outcome outcome = RunDispatch(kFakeTable, {"quarnet", "first", "", "a b", "extra"});
  EXPECT_EQ(42, outcome.status);
  EXPECT_EQ((std::vector<std::string>{"first", "", "a b", "extra"}), receivedArgs);
  EXPECT_EQ("", outcome.out);
}

TEST(Dispatcher, SearchStopsAtTerminatingRow) {
  Outcome outcome = RunDispatch(kFakeTable, {"quarnet", "hidden"});
  EXPECT_EQ(1, outcome.status);
  EXPECT_EQ(
      "Kestrin compatibility utility\nPart of the Velmira installation kit.\n"
      "Usage: quarnet command [parameters]\nValid commands: first first\n",
      outcome.out);
}

TEST(Dispatcher, MissingParameterIsReportedByHandlerWithoutUsage) {
  Outcome outcome = RunDispatch(kCommands, {"quarnet", "mtime"});
  EXPECT_EQ(1, outcome.status);
  EXPECT_EQ("", outcome.out);
  EXPECT_EQ("Syntax: mtime <path>\n", outcome.err);
}

}  // namespace
