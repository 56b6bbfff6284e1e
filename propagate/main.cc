#include <cstdio>
#include <exception>

#include "program.h"

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& error) {
    // RunError, and the length errors of the standard containers, carry a message for the user.
    fprintf(stderr, "Error: %s\n", error.what());
    return 1;
  }
}
