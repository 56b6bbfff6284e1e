#ifndef QUARNET_DISPATCHER_H_
#define QUARNET_DISPATCHER_H_

#include <cstdio>

/// A command: gets the argument count and vector starting at the command word; returns the exit status.
using CommandHandler = int (*)(int argc, char** argv);

/// One row of a command table; a row with a null name ends the table.
struct Command {
  const char* name;
  CommandHandler handler;
};

/// The program's commands in search and usage order, ended by a row with a null name.
extern const Command kCommands[];

/// Writes the four usage lines to out, listing the names of table in its order.
void PrintUsage(const Command* table, FILE* out);

/// Runs the first row of table whose name equals argv[1] exactly, with (argc - 1, argv + 1), and returns its
/// result; without such a row prints the usage on standard output and returns 1.
int Dispatch(const Command* table, int argc, char** argv);

/// Runs the command named by argv[1] with (argc - 1, argv + 1), or prints the usage; returns the exit status.
int Dispatch(int argc, char** argv);

#endif  // QUARNET_DISPATCHER_H_
