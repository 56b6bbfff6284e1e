#include <gtest/gtest.h>

#include "commands.h"
