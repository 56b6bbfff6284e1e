#ifndef PROPAGATE_SYS_PROGRESS_H_
#define PROPAGATE_SYS_PROGRESS_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

/// The --progress status line: records done of all, bytes copied, rate; shown only on a terminal.
/// Advance and PrintLine may be called from any thread; the other operations from the thread that made the object.
class CProgress {
 public:
  /// Shows the line only when wanted and standard error is a terminal.
  explicit CProgress(bool wanted);
  /// Shows the line on terminal (a descriptor it does not own) only when wanted and terminal is a terminal.
  CProgress(bool wanted, int terminal);
  /// Erases the line if it is showing.
  ~CProgress();
  CProgress(const CProgress&) = delete;
  CProgress& operator=(const CProgress&) = delete;

  /// True when the status line is shown at all: wanted, on a terminal, and not yet finished.
  bool Enabled() const;
  /// The number of records the whole job has.
  void SetTotal(uint64_t records);
  /// Counts records done and bytes copied or read; redraws at most ten times a second.
  void Advance(uint64_t records, uint64_t bytes);
  /// Shows the downloads instead of the records: objects fetched of all, bytes fetched of those expected.
  void Fetching(uint64_t objectsDone, uint64_t objects, uint64_t bytes, uint64_t bytesExpected);
  /// Shows the records again.
  void FetchingDone();
  /// Writes one line (with its line end) to stream, erasing the status line first when stream is a terminal too.
  void PrintLine(FILE* stream, const std::string& line);
  /// Erases the status line for good.
  void Finish();

 private:
  using Clock = std::chrono::steady_clock;

  /// Draws the line now unless another thread is drawing or the last drawing is less than a tenth of a second old.
  void MaybeDraw();
  /// Writes the current line over the one showing; the caller holds drawing.
  void DrawLocked(Clock::time_point now);
  /// Takes the line off the screen if it is showing; the caller holds drawing.
  void EraseLocked();
  /// Writes text whole to the terminal, ignoring failures: a status line is never worth failing a run.
  void WriteToTerminal(const std::string& text) const;

  const int terminal;  ///< where the line is drawn; -1 when it is not shown
  const Clock::time_point start;
  std::atomic<bool> finished{false};
  std::atomic<uint64_t> total{0};
  std::atomic<uint64_t> recordsDone{0};
  std::atomic<uint64_t> bytesDone{0};
  std::atomic<bool> fetching{false};
  std::atomic<uint64_t> fetchedObjects{0};
  std::atomic<uint64_t> fetchObjects{0};
  std::atomic<uint64_t> fetchedBytes{0};
  std::atomic<uint64_t> fetchExpectedBytes{0};
  std::atomic<int64_t> nextDrawTicks{0};  ///< Clock ticks since start before which nothing is drawn
  std::mutex drawing;
  bool showing = false;  ///< a status line stands on the terminal; guarded by drawing
};

/// The text of the status line: "1234/20000 records, 120.5 MiB, 45.2 MiB/s" ("1234 records" without a total).
std::string ProgressText(uint64_t records, uint64_t total, uint64_t bytes, double seconds);

/// The status line while downloading: "12/200 objects fetched, 1.5 MiB of 3.0 MiB, 2.0 MiB/s".
std::string FetchProgressText(uint64_t objectsDone, uint64_t objects, uint64_t bytes, uint64_t bytesExpected,
                              double seconds);

/// A byte count in binary units with one decimal: "512 B", "1.5 KiB", "120.5 MiB".
std::string ByteText(double bytes);

#endif  // PROPAGATE_SYS_PROGRESS_H_
