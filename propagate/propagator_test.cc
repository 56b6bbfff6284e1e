#include <gtest/gtest.h>

#include "propagator.h"
