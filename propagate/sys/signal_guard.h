#ifndef PROPAGATE_SYS_SIGNAL_GUARD_H_
#define PROPAGATE_SYS_SIGNAL_GUARD_H_

#include <signal.h>

#include <atomic>
#include <thread>

/// For its lifetime, SIGTERM, SIGINT and SIGHUP end the process in order: a thread of its own waits for them and, when
/// one comes, removes every temporary file of the process, writes "Error: Interrupted by SIGTERM" (the signal's name)
/// on standard error and ends the process with status 1. Made on the main thread before any other thread starts, so
/// that every thread leaves these signals to it. When no thread can be started, the signals keep their default effect.
class CSignalGuard {
 public:
  CSignalGuard();
  /// Stops the waiting thread and lets the signals through again.
  ~CSignalGuard();
  CSignalGuard(const CSignalGuard&) = delete;
  CSignalGuard& operator=(const CSignalGuard&) = delete;

 private:
  /// The waiting thread's work.
  void Wait();

  sigset_t handled;
  sigset_t previous;
  std::atomic<bool> stopping{false};
  std::thread waiter;
};

#endif  // PROPAGATE_SYS_SIGNAL_GUARD_H_
