#include "dispatcher.h"

#include <gtest/gtest.h>

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
    {"first", RecordArgs},
    {"first", Unreachable},
    {nullptr, Unreachable},
    {"hidden", Unreachable},
};

TEST(Dispatcher, UnrecognisedCommandWordPrintsUsageOnly) {
  const std::vector<std::vector<std::string>> cases = {
      {"quarnet"}, {"quarnet", "MTIME"}, {"quarnet", "mtime "}, {"quarnet", "mtim"},
      {"quarnet", "-h", "mtime"}, {"quarnet", "--help"}, {"quarnet", ""},
  };
  for (const auto& args : cases) {
    Outcome outcome = RunDispatch(kCommands, args);
    EXPECT_EQ(1, outcome.status) << args.size();
    EXPECT_EQ(kUsage, outcome.out);
    EXPECT_EQ("", outcome.err);
  }
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
