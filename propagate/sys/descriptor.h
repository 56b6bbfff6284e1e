#ifndef PROPAGATE_SYS_DESCRIPTOR_H_
#define PROPAGATE_SYS_DESCRIPTOR_H_

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <memory>

/// One open file descriptor, closed when the object goes away.
class CDescriptor {
 public:
  CDescriptor() = default;
  explicit CDescriptor(int descriptor) : fd(descriptor) {}
  ~CDescriptor() {
    if (fd >= 0)
      close(fd);
  }
  CDescriptor(const CDescriptor&) = delete;
  CDescriptor& operator=(const CDescriptor&) = delete;

  /// The descriptor, -1 when none is held.
  int Get() const { return fd; }
  /// True when a descriptor is held.
  bool Valid() const { return fd >= 0; }
  /// Takes descriptor in place of the one held, which is closed; errno stays as the caller left it.
  void Reset(int descriptor) {
    int err = errno;
    if (fd >= 0)
      close(fd);
    fd = descriptor;
    errno = err;
  }
  /// Gives up the descriptor without closing it: it is the caller's from now on.
  int Release() {
    int held = fd;
    fd = -1;
    return held;
  }
  /// Closes the descriptor now and returns close's result; errno holds the cause of -1.
  int Close() {
    int result = close(fd);
    fd = -1;
    return result;
  }

 private:
  int fd = -1;
};

/// Closes a directory stream.
struct CDirectoryClose {
  /// closedir of directory.
  void operator()(DIR* directory) const { closedir(directory); }
};
/// One open directory stream, closed when the object goes away.
using CDirectoryStream = std::unique_ptr<DIR, CDirectoryClose>;

/// read() that starts again when a signal interrupts it; -1 with errno for any other failure.
inline ssize_t ReadRetrying(int fd, void* buffer, size_t size) {
  for (;;) {
    ssize_t count = read(fd, buffer, size);
    if (count >= 0 || errno != EINTR)
      return count;
  }
}

/// write() of all of data, through short writes and interruptions; false with errno when the file takes no
/// more (ENOSPC when a write took nothing).
inline bool WriteAll(int fd, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t written = write(fd, bytes, size);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0) {
      if (written == 0)
        errno = ENOSPC;
      return false;
    }
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

#endif  // PROPAGATE_SYS_DESCRIPTOR_H_
