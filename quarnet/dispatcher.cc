#include "dispatcher.h"

#include <cstring>

#include "commands.h"

const Command kCommands[] = {
    {"mtime", PrintModificationTime},
    {"symlink", CreateSymlink},
    {"dos2unix", CopyWithoutCarriageReturns},
    {"locase", PrintLowerCase},
    {"randsleep", SleepRandomTime},
    {"logger", LogMessage},
    {"kill", TerminateProcess},
    {nullptr, nullptr},
};

void PrintUsage(const Command* table, FILE* out) {
  fputs("Kestrin compatibility utility\n", out);
  fputs("Part of the Velmira installation kit.\n", out);
  fputs("Usage: quarnet command [parameters]\n", out);
  fputs("Valid commands:", out);
  for (const Command* row = table; row->name != nullptr; ++row)
    fprintf(out, " %s", row->name);
  fputc('\n', out);
}

int Dispatch(const Command* table, int argc, char** argv) {
  if (argc > 1) {
    for (const Command* row = table; row->name != nullptr; ++row) {
      if (strcmp(argv[1], row->name) == 0)
        return row->handler(argc - 1, argv + 1);
    }
  }
  PrintUsage(table, stdout);
  return 1;
}

int Dispatch(int argc, char** argv) { return Dispatch(kCommands, argc, argv); }
