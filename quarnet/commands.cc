#include "commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include "target_process.h"

namespace {

// Writes "Syntax: <command word> <parameters>" when argc, which counts the command word, is below minimum.
bool HasParameters(int argc, char** argv, int minimum, const char* parameters) {
  if (argc >= minimum)
    return true;
  fprintf(stderr, "Syntax: %s %s\n", argv[0], parameters);
  return false;
}

// Scripts pass numbers as they come, so they are read the lenient strtol way: leading blanks and a sign are
// accepted, reading stops at the first non-digit, and a text without digits is 0.
long ReadNumber(const char* text) { return strtol(text, nullptr, 10); }

int32_t Low32Bits(unsigned long value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

// A stream can fail without setting errno (a stdio error flag alone); that still counts as a failure.
int ErrorOrEio(int error) { return error != 0 ? error : EIO; }

// Owns a stdio stream; Close reports how the final close went, the destructor closes on every other path.
class CStream {
 public:
  explicit CStream(FILE* file) : file(file) {}
  ~CStream() {
    if (file != nullptr)
      fclose(file);
  }
  CStream(const CStream&) = delete;
  CStream& operator=(const CStream&) = delete;

  FILE* Get() const { return file; }
  FILE* Release() {
    FILE* released = file;
    file = nullptr;
    return released;
  }
  // 0, or the errno of a failed close (EIO when the failure left errno unset).
  int Close() {
    errno = 0;
    int result = fclose(file);
    int error = errno;
    file = nullptr;
    return result == 0 ? 0 : ErrorOrEio(error);
  }

 private:
  FILE* file;
};

// Owns a file descriptor until a stream takes it over.
class CDescriptor {
 public:
  explicit CDescriptor(int fd) : fd(fd) {}
  ~CDescriptor() {
    if (fd >= 0)
      close(fd);
  }
  CDescriptor(const CDescriptor&) = delete;
  CDescriptor& operator=(const CDescriptor&) = delete;

  int Get() const { return fd; }
  int Release() {
    int released = fd;
    fd = -1;
    return released;
  }

 private:
  int fd;
};

// How a copy ended: each an errno, 0 when that side did not fail.
struct CopyOutcome {
  int readError = 0;
  int writeError = 0;
};

// Copies up to the end of src, a read error or a write error, whichever comes first. glibc drops the
// buffered bytes of a flush that fails, so a later flush or the final fclose may well succeed and hide the
// loss; the first failed write is therefore remembered here and ends the copy, before a gap is written over.
CopyOutcome CopyDroppingCarriageReturns(FILE* src, FILE* dst) {
  CopyOutcome outcome;
  for (;;) {
    errno = 0;
    int byte = fgetc(src);
    if (byte == EOF) {
      int error = errno;
      if (ferror(src))
        outcome.readError = ErrorOrEio(error);
      return outcome;
    }
    if (byte == '\r')
      continue;
    errno = 0;
    if (fputc(byte, dst) == EOF) {
      outcome.writeError = ErrorOrEio(errno);
      return outcome;
    }
  }
}

// Opens dst for writing without truncating it first, so that it can be compared with the opened src: a
// check by path before the open would leave a moment in which dst could be replaced by a link to src.
// Only a regular file is refused or truncated; a device such as /dev/null may stand on both sides.
// Returns the stream, or null after writing the message.
FILE* OpenDestination(const char* srcPath, const struct stat& srcStatus, const char* dstPath) {
  CDescriptor fd(open(dstPath, O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  if (fd.Get() < 0) {
    int error = errno;
    fprintf(stderr, "fopen(%s, wb): %s\n", dstPath, strerror(error));
    return nullptr;
  }
  struct stat dstStatus;
  if (fstat(fd.Get(), &dstStatus) != 0) {
    int error = errno;
    fprintf(stderr, "fopen(%s, wb): %s\n", dstPath, strerror(error));
    return nullptr;
  }
  bool regular = S_ISREG(dstStatus.st_mode);
  if (regular && dstStatus.st_dev == srcStatus.st_dev && dstStatus.st_ino == srcStatus.st_ino) {
    fprintf(stderr, "%s and %s are the same file\n", srcPath, dstPath);
    return nullptr;
  }
  if (regular && ftruncate(fd.Get(), 0) != 0) {
    int error = errno;
    fprintf(stderr, "fopen(%s, wb): %s\n", dstPath, strerror(error));
    return nullptr;
  }
  FILE* dst = fdopen(fd.Get(), "wb");
  if (dst == nullptr) {
    int error = errno;
    fprintf(stderr, "fopen(%s, wb): %s\n", dstPath, strerror(error));
    return nullptr;
  }
  fd.Release();
  return dst;
}

struct LogLevel {
  const char* word;
  int priority;
};

constexpr LogLevel kLogLevels[] = {
    {"error", LOG_USER | LOG_ERR},
    {"warning", LOG_USER | LOG_WARNING},
    {"notice", LOG_USER | LOG_NOTICE},
    {"info", LOG_USER | LOG_INFO},
};

}  // namespace

int PrintModificationTime(int argc, char** argv) {
  if (!HasParameters(argc, argv, 2, "<path>"))
    return 1;
  struct stat status;
  if (lstat(argv[1], &status) != 0) {
    int error = errno;
    fprintf(stderr, "lstat(%s): %s\n", argv[1], strerror(error));
    return 1;
  }
  printf("%lu\n", static_cast<unsigned long>(status.st_mtime));
  return 0;
}

int CreateSymlink(int argc, char** argv) {
  if (!HasParameters(argc, argv, 3, "<src> <dst>"))
    return 1;
  if (symlink(argv[1], argv[2]) != 0) {
    int error = errno;
    fprintf(stderr, "symlink(%s, %s): %s\n", argv[1], argv[2], strerror(error));
    return 1;
  }
  return 0;
}

int CopyStreamsWithoutCarriageReturns(FILE* srcFile, const char* srcPath, FILE* dstFile, const char* dstPath) {
  CStream src(srcFile);
  CStream dst(dstFile);
  int status = 0;
  CopyOutcome copy = CopyDroppingCarriageReturns(src.Get(), dst.Get());
  if (copy.readError != 0) {
    fprintf(stderr, "fgetc(%s): %s\n", srcPath, strerror(copy.readError));
    status = 1;
  }
  // A write that failed on the way has already lost bytes, whatever the close says; otherwise the last
  // buffered writes reach dst only in the close, so that is where a full disk shows.
  int writeError = ferror(dst.Get()) ? ErrorOrEio(copy.writeError) : 0;
  int closeError = dst.Close();
  if (int error = writeError != 0 ? writeError : closeError; error != 0) {
    fprintf(stderr, "fclose(%s): %s\n", dstPath, strerror(error));
    status = 1;
  }
  if (int error = src.Close(); error != 0) {
    fprintf(stderr, "fclose(%s): %s\n", srcPath, strerror(error));
    return 1;
  }
  return status;
}

int CopyWithoutCarriageReturns(int argc, char** argv) {
  if (!HasParameters(argc, argv, 3, "<src> <dst>"))
    return 1;
  const char* srcPath = argv[1];
  const char* dstPath = argv[2];
  CStream src(fopen(srcPath, "rb"));
  if (src.Get() == nullptr) {
    int error = errno;
    fprintf(stderr, "fopen(%s, rb): %s\n", srcPath, strerror(error));
    return 1;
  }
  // The same file under another path or through a link is recognised by comparing the opened files.
  struct stat srcStatus;
  if (fstat(fileno(src.Get()), &srcStatus) != 0) {
    int error = errno;
    fprintf(stderr, "fstat(%s): %s\n", srcPath, strerror(error));
    return 1;
  }
  FILE* dst = OpenDestination(srcPath, srcStatus, dstPath);
  if (dst == nullptr)
    return 1;
  return CopyStreamsWithoutCarriageReturns(src.Release(), srcPath, dst, dstPath);
}

int PrintLowerCase(int argc, char** argv) {
  if (!HasParameters(argc, argv, 2, "<text>"))
    return 1;
  // The program never calls setlocale, so tolower works in the POSIX locale and changes only A to Z.
  for (const char* cursor = argv[1]; *cursor != '\0'; ++cursor)
    putchar(tolower(static_cast<unsigned char>(*cursor)));
  putchar('\n');
  return 0;
}

int SleepRandomTime(int argc, char** argv) {
  if (!HasParameters(argc, argv, 2, "<maxtime>"))
    return 1;
  int32_t maxTime = Low32Bits(static_cast<unsigned long>(ReadNumber(argv[1])));
  if (maxTime < 0) {
    fputs("Invalid time\n", stderr);
    return 1;
  }
  if (maxTime == 0)
    return 0;
  srand(static_cast<unsigned>(time(nullptr)));
  sleep(static_cast<unsigned>(rand() % maxTime));
  return 0;
}

int LogMessage(int argc, char** argv) {
  if (!HasParameters(argc, argv, 3, "<error|warning|notice|info> \"<text>\""))
    return 1;
  for (const LogLevel& level : kLogLevels) {
    if (strcmp(argv[1], level.word) == 0) {
      openlog("velmira", LOG_NDELAY | LOG_PERROR, LOG_USER);
      syslog(level.priority, "%s", argv[2]);
      closelog();
      return 0;
    }
  }
  fputs("Invalid level\n", stderr);
  return 1;
}

int TerminateProcess(int argc, char** argv) {
  if (!HasParameters(argc, argv, 3, "<seconds> <pid>"))
    return 1;
  long seconds = ReadNumber(argv[1]);
  long pid = ReadNumber(argv[2]);
  // 0 names the caller's own process group and a negative number a group or every process, and a number
  // past the range of a process id would be cut down to one of those or to some unrelated process. An
  // empty variable in a script reads as 0, so refusing these keeps a mistake from killing the script.
  if (pid <= 0 || pid > std::numeric_limits<pid_t>::max()) {
    fputs("Invalid pid\n", stderr);
    return 1;
  }
  CTargetProcess target(static_cast<pid_t>(pid));
  target.Signal(SIGTERM);
  int32_t polls = Low32Bits(static_cast<unsigned long>(seconds) * 10);
  for (int32_t poll = 0; poll < polls && target.Signal(0); ++poll)
    usleep(100000);
  target.Signal(SIGKILL);
  return 0;
}
