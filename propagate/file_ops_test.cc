#include <gtest/gtest.h>

#include "file_ops.h"
