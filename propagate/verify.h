#ifndef PROPAGATE_VERIFY_H_
#define PROPAGATE_VERIFY_H_

#include "command_line.h"

/// propagate --verify: compares options.basedir with its installed table and prints one line per path
/// that differs. Returns 0 when nothing differs that a run would put back, 2 when something does; throws
/// RunError when the table cannot be read.
int RunVerify(const Options& options);

#endif  // PROPAGATE_VERIFY_H_
