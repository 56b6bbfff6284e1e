#ifndef PROPAGATE_PROGRESS_H_
#define PROPAGATE_PROGRESS_H_

#include <cstdint>
#include <cstdio>
#include <string>

/// The --progress status line: records done of all, bytes copied, rate; shown only on a terminal.
/// Advance may be called from any thread; the other operations from the thread that made the object.
class CProgress {
 public:
  /// Shows the line only when wanted and standard error is a terminal.
  explicit CProgress(bool wanted);
  /// Erases the line if it is showing.
  ~CProgress();
  CProgress(const CProgress&) = delete;
  CProgress& operator=(const CProgress&) = delete;

  /// The number of records the whole job has.
  void SetTotal(uint64_t records);
  /// Counts records done and bytes copied or read; redraws at most ten times a second.
  void Advance(uint64_t records, uint64_t bytes);
  /// Writes one line (with its line end) to stream, erasing the status line first when both share a terminal.
  void PrintLine(FILE* stream, const std::string& line);
  /// Erases the status line for good.
  void Finish();
};

#endif  // PROPAGATE_PROGRESS_H_
