#include <gtest/gtest.h>

#include "dispatcher.h"
