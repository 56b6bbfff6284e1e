// Random table files read back through LoadLines and parsed, as propagate reads files.txt.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "sys/mapped_file.h"
#include "reference.h"
#include "sys/run_error.h"
#include "table_checks.h"

namespace {

// One directory for the whole fuzzing process: creating one per input would cost more than the parse.
// A tmpfs as TMPDIR (/dev/shm) saves most of the cost of writing the file.
class ScratchFile {
 public:
  ScratchFile() {
    const char* base = getenv("TMPDIR");
    if (base == nullptr || *base == '\0')
      base = "/tmp";
    std::string pattern = std::string(base) + "/table_file_fuzzer-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      perror("mkdtemp");
      abort();
    }
    dir = pattern;
    path = dir + "/files.txt";
  }
  ~ScratchFile() {
    unlink(path.c_str());
    rmdir(dir.c_str());
  }

  /// Replaces the file's content with size bytes at data.
  void Write(const uint8_t* data, size_t size) const {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
      perror("open");
      abort();
    }
    while (size > 0) {
      ssize_t written = write(fd, data, size);
      if (written < 0 && errno == EINTR)
        continue;
      if (written <= 0) {
        perror("write");
        abort();
      }
      data += written;
      size -= static_cast<size_t>(written);
    }
    close(fd);
  }

  const std::string& Path() const { return path; }

 private:
  std::string dir;
  std::string path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A static local: destroyed, and the directory removed, when libFuzzer exits normally.
  static const ScratchFile file;
  file.Write(data, size);

  std::vector<std::string> lines;
  if (size == 0) {
    // The system maps no empty file, so an empty table is refused before any parsing.
    std::string message;
    try {
      LoadLines(file.Path(), lines);
    } catch (const RunError& error) {
      message = error.what();
    }
    FUZZ_REQUIRE(message == file.Path() + ": Cannot mmap: " + strerror(EINVAL));
    FUZZ_REQUIRE(lines.empty());
  } else {
    LoadLines(file.Path(), lines);
    for (const std::string& line : lines)
      FUZZ_REQUIRE(line.find_first_of("\r\n") == std::string::npos);
    FUZZ_REQUIRE(lines == ReferenceLines(std::string_view(reinterpret_cast<const char*>(data), size)));
    CheckTableParse(lines);
  }
  return 0;
}
