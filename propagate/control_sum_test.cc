#include <gtest/gtest.h>

#include "control_sum.h"
