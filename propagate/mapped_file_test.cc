#include <gtest/gtest.h>

#include "mapped_file.h"
