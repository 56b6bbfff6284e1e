#include "create.h"

#include "run_error.h"

int RunCreate(const Options&) { Fail("--create is not built yet"); }
