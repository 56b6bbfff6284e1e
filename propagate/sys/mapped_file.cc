#include "sys/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "sys/descriptor.h"
#include "sys/run_error.h"

int OpenRegularFile(const std::string& path, struct stat& status) {
  // Opening a device can have effects of its own (a watchdog, a modem line, a controlling terminal), so
  // what stands at the path is examined first, and the descriptor is checked to be that same file.
  struct stat expected;
  if (stat(path.c_str(), &expected) != 0)
    FailErrno(errno, "%s: Cannot open", path.c_str());
  if (!S_ISREG(expected.st_mode))
    FailErrno(ENODEV, "%s: Cannot mmap", path.c_str());
  CDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.Valid())
    FailErrno(errno, "%s: Cannot open", path.c_str());
  if (fstat(fd.Get(), &status) != 0)
    FailErrno(errno, "%s: Cannot stat", path.c_str());
  if (status.st_dev != expected.st_dev || status.st_ino != expected.st_ino)
    FailErrno(ENODEV, "%s: Cannot mmap", path.c_str());  // replaced since it was examined
  return fd.Release();
}

CMappedFile::CMappedFile(const std::string& path) : data(nullptr), size(0) {
  fd.Reset(OpenRegularFile(path, status));
  size = static_cast<uint64_t>(status.st_size);
  // Populating the mapping up front saves a page fault per page of a large table.
  void* mapping = mmap(nullptr, size, PROT_READ, MAP_SHARED | MAP_POPULATE, fd.Get(), 0);
  if (mapping == MAP_FAILED)
    FailErrno(errno, "%s: Cannot mmap", path.c_str());
  data = static_cast<const unsigned char*>(mapping);
}

CMappedFile::~CMappedFile() {
  munmap(const_cast<unsigned char*>(data), size);
}

std::string ReadWholeFile(const std::string& path) {
  CMappedFile file(path);
  return std::string(reinterpret_cast<const char*>(file.Data()), file.Size());
}

bool CLineCursor::Next(std::string& line) {
  line.clear();
  while (cursor < end) {
    // Copy whole runs of ordinary bytes at once; only line feeds and carriage returns need a decision.
    const char* stop = cursor;
    while (stop < end && *stop != '\n' && *stop != '\r')
      ++stop;
    line.append(cursor, static_cast<size_t>(stop - cursor));
    if (stop == end) {
      cursor = end;
      break;
    }
    cursor = stop + 1;
    if (*stop == '\n')
      return true;
  }
  return !line.empty();  // a last line without line feed counts when not empty
}

void LoadLines(const std::string& path, std::vector<std::string>& lines) {
  CMappedFile file(path);
  CLineCursor cursor(std::string_view(reinterpret_cast<const char*>(file.Data()), file.Size()));
  for (std::string line; cursor.Next(line);)
    lines.push_back(std::move(line));
}

std::string ReadPrivateRecord(const std::string& path, bool& exists) {
  CDescriptor file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  exists = file.Valid() || errno != ENOENT;
  struct stat status;
  if (!file.Valid() || fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid() ||
      (status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    return {};
  std::string text(static_cast<size_t>(status.st_size), '\0');
  size_t got = 0;
  while (got < text.size()) {
    ssize_t read = ReadRetrying(file.Get(), text.data() + got, text.size() - got);
    if (read <= 0)
      return {};
    got += static_cast<size_t>(read);
  }
  return text;
}
