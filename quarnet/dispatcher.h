#ifndef QUARNET_DISPATCHER_H_
#define QUARNET_DISPATCHER_H_

#include <cstdio>

/// A command: gets the argument count and vector starting at the command word; returns the exit status.
using CommandHandler = int (*)(int argc, char** argv);

/// One row of a command table; a row with a null name ends the table.
struct Command {
  const char* name;
  CommandHandler handler;
  const char* parameters;  ///< the parameters as the handler's syntax line shows them: "<src> <dst>"
  const char* summary;     ///< what the command does, one line for --help
};

/// The program's commands in search and usage order, ended by a row with a null name.
extern const Command kCommands[];

/// Writes the four usage lines to out, listing the names of table in its order.
void PrintUsage(const Command* table, FILE* out);

/// Writes the --help text to out: the usage, then every row's syntax line and summary in table order.
void PrintHelp(const Command* table, FILE* out);

/// The text that --version prints: "quarnet (Velmira installation kit) <version>" and a line end.
const char* VersionText();

/// Runs the first row of table whose name equals argv[1] exactly, with (argc - 1, argv + 1), and returns its
/// result; "--help" and "--version" print the help or the version on standard output and return 0 (1 when
/// standard output cannot be written); without a matching row prints the usage on standard output and returns 1.
int Dispatch(const Command* table, int argc, char** argv);

/// Runs the command named by argv[1] with (argc - 1, argv + 1), or prints the usage; returns the exit status.
int Dispatch(int argc, char** argv);

#endif  // QUARNET_DISPATCHER_H_
