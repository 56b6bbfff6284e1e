#include "sys/progress.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sys/descriptor.h"

namespace {

const std::string kErase = "\r\033[K";

/// A pseudo-terminal in raw mode, so that what is written to its terminal side is read back byte for byte.
class PseudoTerminal {
 public:
  PseudoTerminal() {
    int controllerDescriptor = -1;
    int terminalDescriptor = -1;
    termios mode{};
    cfmakeraw(&mode);
    winsize size{};
    size.ws_col = 80;
    size.ws_row = 24;
    if (openpty(&controllerDescriptor, &terminalDescriptor, nullptr, &mode, &size) != 0)
      ADD_FAILURE() << "openpty: " << strerror(errno);
    controller = std::make_unique<CDescriptor>(controllerDescriptor);
    terminal = std::make_unique<CDescriptor>(terminalDescriptor);
  }

  int Terminal() const { return terminal->Get(); }
  void SetColumns(unsigned short columns) {
    winsize size{};
    size.ws_col = columns;
    size.ws_row = 24;
    ioctl(terminal->Get(), TIOCSWINSZ, &size);
  }

  /// Everything written to the terminal since the last call. A marker written after it tells where that ends,
  /// since the pseudo-terminal hands data on asynchronously.
  std::string Drain() {
    const char marker = '\x01';
    if (write(terminal->Get(), &marker, 1) != 1)
      ADD_FAILURE() << "write marker: " << strerror(errno);
    std::string text;
    while (text.empty() || text.back() != marker) {
      pollfd ready{controller->Get(), POLLIN, 0};
      if (poll(&ready, 1, 5000) != 1) {
        ADD_FAILURE() << "no marker; read so far: " << text;
        return text;
      }
      char buffer[4096];
      ssize_t count = read(controller->Get(), buffer, sizeof buffer);
      if (count <= 0) {
        ADD_FAILURE() << "read: " << strerror(errno);
        return text;
      }
      text.append(buffer, static_cast<size_t>(count));
    }
    text.pop_back();
    return text;
  }

 private:
  std::unique_ptr<CDescriptor> controller;
  std::unique_ptr<CDescriptor> terminal;
};

/// A stdio stream on a duplicate of descriptor, closed at the end of the test.
class Stream {
 public:
  explicit Stream(int descriptor) : file(fdopen(dup(descriptor), "w")) {}
  ~Stream() { fclose(file); }
  FILE* Get() const { return file; }

 private:
  FILE* file;
};

TEST(Progress, TextGivesCountsBytesAndRate) {
  struct Case {
    uint64_t records, total, bytes;
    double seconds;
    const char* text;
  };
  const Case cases[] = {
      {0, 20000, 0, 0, "0/20000 records, 0 B, 0 B/s"},
      {1234, 20000, 126353408, 2.66, "1234/20000 records, 120.5 MiB, 45.3 MiB/s"},
      {7, 0, 1023, 1, "7 records, 1023 B, 1023 B/s"},
      {1, 1, 1024, 2, "1/1 records, 1.0 KiB, 512 B/s"},
      {2, 3, 1048575, 1, "2/3 records, 1.0 MiB, 1.0 MiB/s"},
      {5, 9, 3ull << 40, 1024, "5/9 records, 3.0 TiB, 3.0 GiB/s"},
      {18446744073709551615ull, 18446744073709551615ull, 18446744073709551615ull, 1,
       "18446744073709551615/18446744073709551615 records, 16384.0 PiB, 16384.0 PiB/s"},
  };
  for (const Case& test : cases)
    EXPECT_EQ(test.text, ProgressText(test.records, test.total, test.bytes, test.seconds));
  EXPECT_EQ("12/200 objects fetched, 1.5 MiB of 3.0 MiB, 768.0 KiB/s",
            FetchProgressText(12, 200, 3u << 19, 3u << 20, 2));
}

TEST(Progress, NothingIsWrittenUnlessWantedOnATerminal) {
  PseudoTerminal screen;
  int pipeEnds[2];
  ASSERT_EQ(0, pipe(pipeEnds));
  CDescriptor pipeRead(pipeEnds[0]);
  CDescriptor pipeWrite(pipeEnds[1]);
  struct Case {
    bool wanted;
    int descriptor;
  };
  const Case cases[] = {{false, screen.Terminal()}, {true, pipeWrite.Get()}, {false, pipeWrite.Get()}, {true, -1}};
  for (const Case& test : cases) {
    Stream lines(screen.Terminal());
    {
      CProgress progress(test.wanted, test.descriptor);
      EXPECT_FALSE(progress.Enabled());
      progress.SetTotal(3);
      progress.Advance(1, 100);
      progress.PrintLine(lines.Get(), "copy etc/app.conf");
      fflush(lines.Get());
      progress.Advance(2, 100);
      progress.Finish();
      progress.Advance(1, 1);
    }
    // The printed line still comes out, alone.
    EXPECT_EQ("copy etc/app.conf\n", screen.Drain()) << test.wanted << " " << test.descriptor;
  }
  ASSERT_EQ(0, fcntl(pipeRead.Get(), F_SETFL, O_NONBLOCK));
  char byte;
  EXPECT_EQ(-1, read(pipeRead.Get(), &byte, 1)) << "something was written to the pipe";
}

TEST(Progress, LineIsDrawnInPlaceAndErasedAtFinish) {
  PseudoTerminal screen;
  CProgress progress(true, screen.Terminal());
  EXPECT_TRUE(progress.Enabled());
  progress.SetTotal(20000);
  EXPECT_EQ(kErase + "0/20000 records, 0 B, 0 B/s", screen.Drain());
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  progress.Advance(1234, 5 << 20);
  std::string drawn = screen.Drain();
  EXPECT_EQ(0u, drawn.find(kErase + "1234/20000 records, 5.0 MiB, ")) << drawn;
  // The rate is over the whole time since the start, at least 120 ms: at most 5 MiB / 0.12 s.
  std::string rate = drawn.substr(drawn.rfind(", ") + 2);
  EXPECT_EQ(rate.size() - 6, rate.find(" MiB/s")) << drawn;
  EXPECT_LE(std::stod(rate), 41.7) << drawn;
  EXPECT_EQ(std::string::npos, drawn.find('\n')) << drawn;

  progress.Finish();
  EXPECT_EQ(kErase, screen.Drain());
  EXPECT_FALSE(progress.Enabled());
  // Finished for good: neither a later count nor the destructor writes again.
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  progress.Advance(1, 1);
  progress.Finish();
  EXPECT_EQ("", screen.Drain());
}

TEST(Progress, DestructorErasesAShowingLine) {
  PseudoTerminal screen;
  {
    CProgress progress(true, screen.Terminal());
    progress.Advance(1, 1);
    EXPECT_EQ(0u, screen.Drain().find(kErase + "1 records, 1 B, "));
  }
  EXPECT_EQ(kErase, screen.Drain());
}

TEST(Progress, DrawsAtMostTenTimesASecond) {
  PseudoTerminal screen;
  CProgress progress(true, screen.Terminal());
  progress.SetTotal(1000000);
  auto begin = std::chrono::steady_clock::now();
  auto end = begin + std::chrono::milliseconds(350);
  uint64_t calls = 0;
  while (std::chrono::steady_clock::now() < end) {
    progress.Advance(1, 4096);
    ++calls;
  }
  auto elapsed = std::chrono::steady_clock::now() - begin;
  std::string drawn = screen.Drain();
  size_t draws = 0;
  for (size_t at = drawn.find(kErase); at != std::string::npos; at = drawn.find(kErase, at + 1))
    ++draws;
  auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 100;
  EXPECT_LE(draws, static_cast<size_t>(tenths) + 1) << calls << " calls drew " << drawn;
  // One at SetTotal, then one at the first call after each tenth of a second.
  EXPECT_GE(draws, 3u) << drawn;
}

TEST(Progress, PrintedLineErasesTheStatusLineWhichComesBackAtTheNextDrawing) {
  PseudoTerminal screen;
  Stream lines(screen.Terminal());
  CProgress progress(true, screen.Terminal());
  progress.SetTotal(2);
  screen.Drain();
  progress.PrintLine(lines.Get(), "copy bin/velmira");
  progress.PrintLine(lines.Get(), "mkdir etc");
  // The status line was erased once; the second line finds none to erase.
  EXPECT_EQ(kErase + "copy bin/velmira\nmkdir etc\n", screen.Drain());
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  progress.Advance(1, 0);
  EXPECT_EQ(kErase + "1/2 records, 0 B, 0 B/s", screen.Drain());
  progress.Finish();
  progress.PrintLine(lines.Get(), "table files.txt");
  EXPECT_EQ(kErase + "table files.txt\n", screen.Drain());
}

TEST(Progress, LinePrintedElsewhereLeavesTheStatusLineStanding) {
  PseudoTerminal screen;
  int pipeEnds[2];
  ASSERT_EQ(0, pipe(pipeEnds));
  CDescriptor pipeRead(pipeEnds[0]);
  {
    Stream lines(pipeEnds[1]);
    close(pipeEnds[1]);
    CProgress progress(true, screen.Terminal());
    progress.SetTotal(2);
    screen.Drain();
    progress.PrintLine(lines.Get(), "copy bin/velmira");
    EXPECT_EQ("", screen.Drain());
  }
  char buffer[64];
  ssize_t count = read(pipeRead.Get(), buffer, sizeof buffer);
  EXPECT_EQ("copy bin/velmira\n", std::string(buffer, count > 0 ? static_cast<size_t>(count) : 0));
}

TEST(Progress, LineIsCutToTheTerminalWidth) {
  PseudoTerminal screen;
  screen.SetColumns(12);
  CProgress progress(true, screen.Terminal());
  progress.SetTotal(20000);
  EXPECT_EQ(kErase + "0/20000 rec", screen.Drain());
}

TEST(Progress, CountsFromManyThreadsAllArrive) {
  PseudoTerminal screen;
  CProgress progress(true, screen.Terminal());
  progress.SetTotal(40000);
  std::vector<std::thread> threads;
  for (int thread = 0; thread < 4; ++thread) {
    threads.emplace_back([&progress] {
      for (int record = 0; record < 10000; ++record)
        progress.Advance(1, 1024);
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  screen.Drain();
  progress.Advance(0, 0);
  std::string drawn = screen.Drain();
  EXPECT_EQ(0u, drawn.find(kErase + "40000/40000 records, 39.1 MiB, ")) << drawn;
}

}  // namespace
