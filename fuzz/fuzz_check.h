#ifndef FUZZ_FUZZ_CHECK_H_
#define FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

/// Reports a broken invariant and aborts, which libFuzzer records as a crash with the input that caused it.
[[noreturn]] inline void FuzzFailure(const char* condition, const char* file, int line) {
  fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
  abort();
}

/// Like assert, but never compiled out: the fuzz targets are built with optimisation and NDEBUG.
#define FUZZ_REQUIRE(condition) ((condition) ? static_cast<void>(0) : FuzzFailure(#condition, __FILE__, __LINE__))

#endif  // FUZZ_FUZZ_CHECK_H_
