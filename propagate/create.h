#ifndef PROPAGATE_CREATE_H_
#define PROPAGATE_CREATE_H_

#include "command_line.h"

/// propagate --create: writes options.repodir (files.txt and content files) from the staged tree
/// options.stagedir. Returns the exit status (0); throws RunError on any failure.
int RunCreate(const Options& options);

#endif  // PROPAGATE_CREATE_H_
