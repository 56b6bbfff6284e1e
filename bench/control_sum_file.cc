#include <cstdio>
#include <exception>

#include "sys/control_sum.h"

// Prints "<digest>  <path>" for each path, like md5sum but in the tool's upper-case text.
int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "Syntax: control_sum_file <file>...\n");
    return 1;
  }
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    try {
      printf("%s  %s\n", FileControlSum(argv[i]).c_str(), argv[i]);
    } catch (const std::exception& error) {
      fprintf(stderr, "Error: %s\n", error.what());
      status = 1;
    }
  }
  return status;
}
