#include "sys/progress.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cinttypes>

#include "sys/descriptor.h"

namespace {

// Carriage return, then erase to the end of the line: the cursor is left where the line started.
constexpr char kEraseLine[] = "\r\033[K";
constexpr std::chrono::milliseconds kDrawInterval{100};

int TerminalOrNone(bool wanted, int descriptor) { return wanted && isatty(descriptor) == 1 ? descriptor : -1; }

// A job put in the background keeps quiet on the terminal the shell has given to another job. A descriptor
// that is not the controlling terminal has no foreground group to compare with and is drawn on.
bool InBackground(int terminal) {
  pid_t foreground = tcgetpgrp(terminal);
  return foreground != -1 && foreground != getpgrp();
}

// A line as wide as the terminal would wrap, and erasing would then leave its first part standing.
size_t TerminalColumns(int terminal) {
  winsize size{};
  if (ioctl(terminal, TIOCGWINSZ, &size) != 0 || size.ws_col == 0)
    return 0;
  return size.ws_col;
}

}  // namespace

std::string ByteText(double bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  char text[64];
  if (bytes < 1024) {
    snprintf(text, sizeof text, "%.0f B", bytes);
    return text;
  }
  size_t unit = 0;
  bytes /= 1024;
  // 1023.96 KiB would print as "1024.0 KiB"; move on to the next unit where rounding reaches it.
  while (bytes >= 1023.95 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
    bytes /= 1024;
    ++unit;
  }
  snprintf(text, sizeof text, "%.1f %s", bytes, kUnits[unit]);
  return text;
}

std::string ProgressText(uint64_t records, uint64_t total, uint64_t bytes, double seconds) {
  char counts[64];
  if (total != 0)
    snprintf(counts, sizeof counts, "%" PRIu64 "/%" PRIu64 " records", records, total);
  else
    snprintf(counts, sizeof counts, "%" PRIu64 " records", records);
  double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
  return std::string(counts) + ", " + ByteText(static_cast<double>(bytes)) + ", " + ByteText(rate) + "/s";
}

std::string FetchProgressText(uint64_t objectsDone, uint64_t objects, uint64_t bytes, uint64_t bytesExpected,
                              double seconds) {
  char counts[64];
  snprintf(counts, sizeof counts, "%" PRIu64 "/%" PRIu64 " objects fetched, ", objectsDone, objects);
  double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
  return std::string(counts) + ByteText(static_cast<double>(bytes)) + " of " +
         ByteText(static_cast<double>(bytesExpected)) + ", " + ByteText(rate) + "/s";
}

CProgress::CProgress(bool wanted) : CProgress(wanted, STDERR_FILENO) {}

CProgress::CProgress(bool wanted, int terminalDescriptor)
    : terminal(TerminalOrNone(wanted, terminalDescriptor)), start(Clock::now()) {}

CProgress::~CProgress() { Finish(); }

bool CProgress::Enabled() const { return terminal >= 0 && !finished.load(std::memory_order_relaxed); }

void CProgress::SetTotal(uint64_t records) {
  total.store(records, std::memory_order_relaxed);
  MaybeDraw();
}

void CProgress::Advance(uint64_t records, uint64_t bytes) {
  recordsDone.fetch_add(records, std::memory_order_relaxed);
  bytesDone.fetch_add(bytes, std::memory_order_relaxed);
  MaybeDraw();
}

void CProgress::Fetching(uint64_t objectsDone, uint64_t objects, uint64_t bytes, uint64_t bytesExpected) {
  fetchedObjects.store(objectsDone, std::memory_order_relaxed);
  fetchObjects.store(objects, std::memory_order_relaxed);
  fetchedBytes.store(bytes, std::memory_order_relaxed);
  fetchExpectedBytes.store(bytesExpected, std::memory_order_relaxed);
  fetching.store(true, std::memory_order_relaxed);
  MaybeDraw();
}

void CProgress::FetchingDone() { fetching.store(false, std::memory_order_relaxed); }

void CProgress::MaybeDraw() {
  if (!Enabled())
    return;
  Clock::time_point now = Clock::now();
  if ((now - start).count() < nextDrawTicks.load(std::memory_order_relaxed))
    return;
  // A thread that finds another one drawing leaves it to that one: its counts are already in the atomics.
  std::unique_lock<std::mutex> lock(drawing, std::try_to_lock);
  if (!lock.owns_lock() || (now - start).count() < nextDrawTicks.load(std::memory_order_relaxed))
    return;
  DrawLocked(now);
}

void CProgress::DrawLocked(Clock::time_point now) {
  if (finished.load(std::memory_order_relaxed))
    return;
  nextDrawTicks.store((now - start + kDrawInterval).count(), std::memory_order_relaxed);
  if (InBackground(terminal))
    return;
  double seconds = std::chrono::duration<double>(now - start).count();
  std::string text =
      fetching.load(std::memory_order_relaxed)
          ? FetchProgressText(fetchedObjects.load(std::memory_order_relaxed),
                              fetchObjects.load(std::memory_order_relaxed),
                              fetchedBytes.load(std::memory_order_relaxed),
                              fetchExpectedBytes.load(std::memory_order_relaxed), seconds)
          : ProgressText(recordsDone.load(std::memory_order_relaxed), total.load(std::memory_order_relaxed),
                         bytesDone.load(std::memory_order_relaxed), seconds);
  size_t columns = TerminalColumns(terminal);
  if (columns != 0 && text.size() >= columns)
    text.resize(columns - 1);
  WriteToTerminal(kEraseLine + text);
  showing = true;
}

void CProgress::EraseLocked() {
  if (!showing)
    return;
  WriteToTerminal(kEraseLine);
  showing = false;
}

void CProgress::PrintLine(FILE* stream, const std::string& line) {
  // Lines that go to a file or a pipe leave the status line standing, and keep their stream's buffering.
  if (terminal < 0 || isatty(fileno(stream)) != 1) {
    flockfile(stream);
    fwrite(line.data(), 1, line.size(), stream);
    putc_unlocked('\n', stream);
    funlockfile(stream);
    return;
  }
  std::lock_guard<std::mutex> lock(drawing);
  EraseLocked();
  fwrite(line.data(), 1, line.size(), stream);
  putc('\n', stream);
  // The line must reach the terminal before the status line is drawn below it again.
  fflush(stream);
}

void CProgress::Finish() {
  if (terminal < 0)
    return;
  std::lock_guard<std::mutex> lock(drawing);
  finished.store(true, std::memory_order_relaxed);
  EraseLocked();
}

void CProgress::WriteToTerminal(const std::string& text) const {
  // A terminal that takes no more loses only the status line: the run goes on.
  WriteAll(terminal, text.data(), text.size());
}
