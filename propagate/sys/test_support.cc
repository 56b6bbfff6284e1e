#include "sys/test_support.h"

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
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

std::string InOwnMounts(const std::function<std::string()>& body) {
  int channel[2];
  if (pipe(channel) != 0)
    return "pipe failed";
  pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    std::string report;
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      report = std::string("skip: no mount namespace: ") + strerror(errno);
    else
      report = body();
    ssize_t written = write(channel[1], report.data(), report.size());
    _exit(written == static_cast<ssize_t>(report.size()) ? 0 : 1);
  }
  close(channel[1]);
  std::string report;
  char block[4096];
  for (ssize_t got; (got = read(channel[0], block, sizeof(block))) > 0;)
    report.append(block, static_cast<size_t>(got));
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "child failed: " + report;
  return report;
}
