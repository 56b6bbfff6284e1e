#ifndef QUARNET_TEST_SUPPORT_H_
#define QUARNET_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

/// What a command left behind: its exit status and everything it wrote to each stream.
struct Outcome {
  int status;
  std::string out;
  std::string err;
};

/// Calls entry(argc, argv) with args as the argument vector, capturing standard output and error.
template <typename Entry>
Outcome RunCaptured(Entry entry, std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int status = entry(static_cast<int>(args.size()), argv.data());
  std::string out = testing::internal::GetCapturedStdout();
  return {status, out, testing::internal::GetCapturedStderr()};
}

#endif  // QUARNET_TEST_SUPPORT_H_
