#include "dispatcher.h"

#include <cerrno>
#include <cstring>

#include "commands.h"

#ifndef KIT_VERSION
#define KIT_VERSION "unknown"
#endif

const Command kCommands[] = {
    {"mtime", PrintModificationTime, "<path>", "print the modification time of path in seconds since 1970"},
    {"symlink", CreateSymlink, "<src> <dst>", "create a symbolic link at dst whose text is src"},
    {"dos2unix", CopyWithoutCarriageReturns, "<src> <dst>", "copy src to dst without carriage returns"},
    {"locase", PrintLowerCase, "<text>", "print text with A to Z in lower case"},
    {"randsleep", SleepRandomTime, "<maxtime>", "sleep a random whole number of seconds below maxtime"},
    {"logger", LogMessage, "<error|warning|notice|info> \"<text>\"", "write text to the system log"},
    {"kill", TerminateProcess, "<seconds> <pid>", "stop process pid: SIGTERM, SIGKILL after seconds"},
    {nullptr, nullptr, nullptr, nullptr},
};

namespace {

// Scripts that read the help or the version from a pipe must learn when it did not arrive whole.
int FlushStandardOutput() {
  errno = 0;
  if (fflush(stdout) == 0 && !ferror(stdout))
    return 0;
  int err = errno != 0 ? errno : EIO;
  fprintf(stderr, "fflush(stdout): %s\n", strerror(err));
  return 1;
}

}  // namespace

void PrintUsage(const Command* table, FILE* out) {
  fputs("Kestrin compatibility utility\n", out);
  fputs("Part of the Velmira installation kit.\n", out);
  fputs("Usage: quarnet command [parameters]\n", out);
  fputs("Valid commands:", out);
  for (const Command* row = table; row->name != nullptr; ++row)
    fprintf(out, " %s", row->name);
  fputc('\n', out);
}

void PrintHelp(const Command* table, FILE* out) {
  fputs("Kestrin compatibility utility\n", out);
  fputs("Part of the Velmira installation kit.\n", out);
  fputs("Usage: quarnet command [parameters]\n", out);
  fputs("       quarnet --help | --version\n", out);
  fputs("\nCommands:\n", out);
  for (const Command* row = table; row->name != nullptr; ++row)
    fprintf(out, "  quarnet %s %s\n        %s\n", row->name, row->parameters, row->summary);
  fputs("\nExit status: 0 on success; 1 on any failure and after the usage.\n", out);
  fputs("See quarnet(1).\n", out);
}

const char* VersionText() { return "quarnet (Velmira installation kit) " KIT_VERSION "\n"; }

int Dispatch(const Command* table, int argc, char** argv) {
  if (argc > 1) {
    // Only these exact words: "-h" and other spellings stay unknown command words, as scripts have seen them.
    if (strcmp(argv[1], "--help") == 0) {
      PrintHelp(table, stdout);
      return FlushStandardOutput();
    }
    if (strcmp(argv[1], "--version") == 0) {
      fputs(VersionText(), stdout);
      return FlushStandardOutput();
    }
    for (const Command* row = table; row->name != nullptr; ++row) {
      if (strcmp(argv[1], row->name) == 0)
        return row->handler(argc - 1, argv + 1);
    }
  }
  PrintUsage(table, stdout);
  return 1;
}

int Dispatch(int argc, char** argv) { return Dispatch(kCommands, argc, argv); }
