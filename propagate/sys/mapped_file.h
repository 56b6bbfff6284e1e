#ifndef PROPAGATE_SYS_MAPPED_FILE_H_
#define PROPAGATE_SYS_MAPPED_FILE_H_

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sys/descriptor.h"

/// A whole file readable through a shared read-only mapping for the object's lifetime.
/// Owns the descriptor and the mapping; never copied.
class CMappedFile {
 public:
  /// Opens and maps the file, or throws RunError ("%s: Cannot open: %s", "...Cannot stat...", "...Cannot mmap...").
  explicit CMappedFile(const std::string& path);
  /// Unmaps the bytes and closes the descriptor.
  ~CMappedFile();
  CMappedFile(const CMappedFile&) = delete;
  CMappedFile& operator=(const CMappedFile&) = delete;

  /// Address of the mapped bytes.
  const unsigned char* Data() const { return data; }
  /// Number of mapped bytes: the file's size when it was opened.
  uint64_t Size() const { return size; }
  /// The file's status when it was opened.
  const struct stat& Status() const { return status; }

 private:
  CDescriptor fd;
  struct stat status {};
  const unsigned char* data;
  uint64_t size;
};

/// Opens path for reading when it is a regular file, a link to one included, and returns the descriptor
/// with its status. Anything else is refused before it is opened, so that a device planted at the path
/// is never opened: "%s: Cannot mmap: %s" with ENODEV, as the mapping would refuse it. Other failures:
/// "%s: Cannot open: %s", "%s: Cannot stat: %s".
int OpenRegularFile(const std::string& path, struct stat& status);

/// The whole content of the regular file at path, copied out of a mapping: what later changes the file
/// cannot change it. Throws CMappedFile's errors.
std::string ReadWholeFile(const std::string& path);

/// The whole file at path, or nothing when it cannot be read or may not be trusted: only a regular file of
/// this user's that nobody else may write counts, never one behind a link, since whoever could write it
/// would decide what a run that trusts it does. exists tells whether anything stands at path.
std::string ReadPrivateRecord(const std::string& path, bool& exists);

/// Cuts text into lines the way LoadLines does, one line per call.
class CLineCursor {
 public:
  explicit CLineCursor(std::string_view text) : cursor(text.data()), end(text.data() + text.size()) {}
  /// The next line into line; false when there is none left.
  bool Next(std::string& line);

 private:
  const char* cursor;
  const char* end;
};

/// Appends the lines of the file at path to lines: line feeds end lines, carriage returns are dropped
/// wherever they stand, a last line without line feed counts when not empty. Throws CMappedFile's errors.
void LoadLines(const std::string& path, std::vector<std::string>& lines);

#endif  // PROPAGATE_SYS_MAPPED_FILE_H_
