#ifndef QUARNET_COMMANDS_H_
#define QUARNET_COMMANDS_H_

#include <cstdio>

// Every handler gets the command word as argv[0] and its parameters from argv[1]; with too few parameters it
// writes "Syntax: <word> ..." to standard error and returns 1. Extra parameters are ignored. Results go to
// standard output, messages to standard error; the return value is 0 on success and 1 on any failure.

/// mtime <path>: prints the modification time of path itself (a symbolic link is not followed), in seconds.
int PrintModificationTime(int argc, char** argv);

/// symlink <src> <dst>: creates a symbolic link at dst whose text is src; an existing dst is kept.
int CreateSymlink(int argc, char** argv);

/// dos2unix <src> <dst>: copies src to dst without any carriage return; refuses src and dst naming one file.
int CopyWithoutCarriageReturns(int argc, char** argv);

/// The copy of dos2unix between two open streams, which it closes: reports a read error of src, a write or
/// close error of dst and a close error of src on standard error, naming the path given; returns 0 or 1.
int CopyStreamsWithoutCarriageReturns(FILE* src, const char* srcPath, FILE* dst, const char* dstPath);

/// locase <text>: prints text with A to Z in lower case, every other byte unchanged, and a newline.
int PrintLowerCase(int argc, char** argv);

/// randsleep <maxtime>: sleeps a random whole number of seconds below maxtime, seeded with the time in seconds.
int SleepRandomTime(int argc, char** argv);

/// logger <error|warning|notice|info> <text>: logs text as identity "velmira", facility user, also to stderr.
int LogMessage(int argc, char** argv);

/// kill <seconds> <pid>: sends SIGTERM to process pid, waits up to seconds for it to end, then SIGKILL.
int TerminateProcess(int argc, char** argv);

#endif  // QUARNET_COMMANDS_H_
