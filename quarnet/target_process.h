#ifndef QUARNET_TARGET_PROCESS_H_
#define QUARNET_TARGET_PROCESS_H_

#include <sys/types.h>

/// A process named by its id. Held through a process file descriptor where the kernel offers one, so that
/// every signal reaches the process that was named even if its id is reused; owns that descriptor.
class CTargetProcess {
 public:
  /// Takes hold of the process with id pid (> 0); finds it gone at once when no such process exists.
  explicit CTargetProcess(pid_t pid);
  /// Closes the process file descriptor.
  ~CTargetProcess();
  CTargetProcess(const CTargetProcess&) = delete;
  CTargetProcess& operator=(const CTargetProcess&) = delete;

  /// Sends sig (0 only probes) unless the process has been found gone, and then never again; true when it
  /// was delivered, false when the process is gone or may not be signalled.
  bool Signal(int sig);

 private:
  pid_t pid;
  int pidfd;
  bool gone;
};

#endif  // QUARNET_TARGET_PROCESS_H_
