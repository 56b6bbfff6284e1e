#include <gtest/gtest.h>

#include "table_parser.h"
