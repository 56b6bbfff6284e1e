#include <cstdio>
#include <stdexcept>

#include "propagator.h"

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::logic_error& error) {
    fprintf(stderr, "Error: %s\n", error.what());
    return 1;
  }
}
