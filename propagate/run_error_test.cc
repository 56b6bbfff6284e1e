#include <gtest/gtest.h>

#include "run_error.h"
