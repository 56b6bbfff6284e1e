#include "commands.h"

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
  // 0, or the errno of a failed close.
  int Close() {
    int result = fclose(file);
    file = nullptr;
    return result == 0 ? 0 : errno;
  }

 private:
  FILE* file;
};

// Returns 0 at the end of src, or the errno of a read that failed before it.
int CopyDroppingCarriageReturns(FILE* src, FILE* dst) {
  for (;;) {
    int byte = fgetc(src);
    if (byte == EOF) {
      int error = errno;
      return ferror(src) ? error : 0;
    }
    if (byte != '\r')
      fputc(byte, dst);
  }
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
  // Opening dst for writing truncates it, so the same file must be recognised before that, whatever path
  // or link names it; comparing the opened src with what dst names now catches all of them.
  struct stat srcStatus;
  if (fstat(fileno(src.Get()), &srcStatus) != 0) {
    int error = errno;
    fprintf(stderr, "fstat(%s): %s\n", srcPath, strerror(error));
    return 1;
  }
  struct stat dstStatus;
  if (stat(dstPath, &dstStatus) == 0 && dstStatus.st_dev == srcStatus.st_dev &&
      dstStatus.st_ino == srcStatus.st_ino) {
    fprintf(stderr, "%s and %s are the same file\n", srcPath, dstPath);
    return 1;
  }
  CStream dst(fopen(dstPath, "wb"));
  if (dst.Get() == nullptr) {
    int error = errno;
    fprintf(stderr, "fopen(%s, wb): %s\n", dstPath, strerror(error));
    return 1;
  }
  int status = 0;
  if (int error = CopyDroppingCarriageReturns(src.Get(), dst.Get()); error != 0) {
    fprintf(stderr, "fgetc(%s): %s\n", srcPath, strerror(error));
    status = 1;
  }
  // The last buffered writes reach dst only here, so this close is where a full disk shows.
  if (int error = dst.Close(); error != 0) {
    fprintf(stderr, "fclose(%s): %s\n", dstPath, strerror(error));
    status = 1;
  }
  if (int error = src.Close(); error != 0) {
    fprintf(stderr, "fclose(%s): %s\n", srcPath, strerror(error));
    return 1;
  }
  return status;
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
