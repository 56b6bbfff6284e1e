#include "dispatcher.h"

int Dispatch(int, char**) { return 1; }
