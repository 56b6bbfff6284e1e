#include "verify.h"

#include "run_error.h"

int RunVerify(const Options&) { Fail("--verify is not built yet"); }
