#include "target_process.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

// Called through syscall() so that the program builds and runs against C libraries without the wrappers.
int OpenPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

int SendThroughPidfd(int pidfd, int sig) {
#ifdef SYS_pidfd_send_signal
  return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
#else
  (void)pidfd;
  (void)sig;
  errno = ENOSYS;
  return -1;
#endif
}

}  // namespace

CTargetProcess::CTargetProcess(pid_t pid) : pid(pid), pidfd(OpenPidfd(pid)), gone(false) {
  if (pidfd < 0) {
    // Any other failure (no kernel support, a seccomp filter, no descriptors left) leaves plain kill().
    if (errno == ESRCH)
      gone = true;
    return;
  }
  // A kernel or a seccomp filter can offer pidfd_open but not pidfd_send_signal; every signal through the
  // descriptor would then fail and nothing at all would reach the process. A probe finds that out now.
  if (SendThroughPidfd(pidfd, 0) == 0)
    return;
  int error = errno;
  if (error == ESRCH) {
    gone = true;
    return;
  }
  // EPERM comes from a filter that blocks the call as well as from a process that may not be signalled;
  // only when kill() may signal the process is the call itself to blame. Otherwise the descriptor stays,
  // and every signal keeps failing the way kill() would fail too.
  bool blocked = error == ENOSYS || (error == EPERM && kill(pid, 0) == 0);
  if (blocked) {
    close(pidfd);
    pidfd = -1;
  }
}

CTargetProcess::~CTargetProcess() {
  if (pidfd >= 0)
    close(pidfd);
}

bool CTargetProcess::Signal(int sig) {
  if (gone)
    return false;
  int result;
  if (pidfd >= 0) {
    result = SendThroughPidfd(pidfd, sig);
  } else {
    // Without a descriptor the id may have been freed and reused since the last probe, up to a tenth of a
    // second ago; probing right before a real signal narrows that window to almost nothing.
    if (sig != 0 && kill(pid, 0) != 0 && errno == ESRCH) {
      gone = true;
      return false;
    }
    result = kill(pid, sig);
  }
  if (result == 0)
    return true;
  if (errno == ESRCH)
    gone = true;
  return false;
}
