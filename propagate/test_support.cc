#include "test_support.h"

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

int RemoveOne(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

}  // namespace

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/propagate-test-XXXXXX";
  if (!mkdtemp(pattern.data()))
    abort();
  path = pattern;
}

TempDir::~TempDir() {
  if (::testing::Test::HasFailure()) {
    fprintf(stderr, "Test data has been left in %s\n", path.c_str());
    return;
  }
  nftw(path.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream << content;
  if (!stream.good()) {
    ADD_FAILURE() << "cannot write " << path;
    abort();
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream.good()) {
    ADD_FAILURE() << "cannot read " << path;
    return "";
  }
  std::ostringstream content;
  content << stream.rdbuf();
  return content.str();
}

struct stat StatPath(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0)
    ADD_FAILURE() << "lstat(" << path << "): " << strerror(errno);
  return status;
}

bool IsRoot() { return geteuid() == 0; }
