#ifndef PROPAGATE_SYS_TEMPORARY_FILE_H_
#define PROPAGATE_SYS_TEMPORARY_FILE_H_

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>

/// A new file under a temporary name, ".<stem>.propagate-XXXXXX", in an open directory: removed when the object goes
/// away unless it took its final name. Every one that exists is known to the process, so that a run stopped by a signal
/// can remove them all (RemoveTemporaryFilesNow).
class CTemporaryFile {
 public:
  /// Creates the file exclusively with mode in directory (which must stay open while the object lives); nullptr with
  /// error set to errno when it cannot be created.
  static std::unique_ptr<CTemporaryFile> Create(int directory, std::string_view stem, mode_t mode, int& error);
  /// Closes and removes the file unless it was renamed.
  ~CTemporaryFile();
  CTemporaryFile(const CTemporaryFile&) = delete;
  CTemporaryFile& operator=(const CTemporaryFile&) = delete;

  /// The open descriptor, -1 once closed.
  int Descriptor() const;
  /// Closes the descriptor now and returns close's result, errno holding the cause of -1.
  int Close();
  /// The temporary name, relative to the directory.
  const std::string& Name() const { return name; }
  /// Gives the file the name final in the same directory; 0, or -1 with errno (the file then stays temporary and is
  /// removed with the object).
  int RenameTo(const std::string& final);

 private:
  CTemporaryFile(int directory, std::string name, int descriptor);

  int directory;
  std::string name;  ///< empty once renamed
  int descriptor;
};

/// True when name has the form of a temporary file's name.
bool IsTemporaryName(std::string_view name);

/// Removes from the open directory every regular file whose name has the temporary form and that no CTemporaryFile of
/// this process holds: what an earlier run left when it was killed. Only for a directory that no other process writes
/// such files into (the base directory's lock guarantees it). Quietly leaves what it cannot list or remove.
void RemoveStaleTemporaryFiles(int directory);

/// Removes every temporary file of this process and keeps any more from being made or renamed: the process is about to
/// end without unwinding. Safe on any thread; blocks the others' temporary files for good.
void RemoveTemporaryFilesNow();

#endif  // PROPAGATE_SYS_TEMPORARY_FILE_H_
