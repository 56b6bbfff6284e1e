#include "sys/signal_guard.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>

#include "sys/descriptor.h"
#include "sys/temporary_file.h"

namespace {

/// "SIGTERM", "SIGINT" or "SIGHUP" for those signals; "signal N" for any other.
const char* SignalName(int signal, char (&buffer)[32]) {
  switch (signal) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    case SIGHUP:
      return "SIGHUP";
    default:
      snprintf(buffer, sizeof buffer, "signal %d", signal);
      return buffer;
  }
}

}  // namespace

CSignalGuard::CSignalGuard() {
  sigemptyset(&handled);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    // A signal ignored from the start stays ignored: "nohup propagate ..." must survive the hangup.
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
      sigaddset(&handled, signal);
  }
  if (sigisemptyset(&handled))
    return;
  pthread_sigmask(SIG_BLOCK, &handled, &previous);
  // A thread that waits for the signals, rather than a handler, may take locks and remove files: the temporary files of
  // copies in flight on other threads are known only behind a lock.
  try {
    waiter = std::thread([this] { Wait(); });
  } catch (const std::system_error&) {
    // Without a thread to spare the signals keep their default effect; the temporary files a signal leaves are removed
    // by the next run, like those of a killed one.
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
}

void CSignalGuard::Wait() {
  int signal = 0;
  while (sigwait(&handled, &signal) != 0) {
  }
  if (stopping.load())
    return;
  RemoveTemporaryFilesNow();
  // The action lines printed so far are what was done; they must not stay in the buffer. A thread that holds the stream
  // (writing to a pipe nobody reads) must not keep the process from ending.
  if (ftrylockfile(stdout) == 0) {
    fflush_unlocked(stdout);
    funlockfile(stdout);
  }
  char buffer[32];
  std::string line = "Error: Interrupted by " + std::string(SignalName(signal, buffer)) + "\n";
  // A status line may stand on the terminal: the message starts on a clean line.
  if (isatty(STDERR_FILENO))
    line = "\r\033[K" + line;
  WriteAll(STDERR_FILENO, line.data(), line.size());
  _exit(1);
}

CSignalGuard::~CSignalGuard() {
  if (!waiter.joinable())
    return;
  stopping.store(true);
  pthread_kill(waiter.native_handle(), SIGHUP);
  waiter.join();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}
