#include "target_process.h"

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstddef>

namespace {

// Makes pidfd_send_signal fail with error in this process, the way a kernel without it (ENOSYS) or a
// container's seccomp profile (ENOSYS or EPERM) does, while pidfd_open keeps working.
bool BlockPidfdSignals(int error) {
#ifdef SYS_pidfd_send_signal
  // The test runs on the machine's own architecture, so the call number alone identifies the call.
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_send_signal, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(error)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
#else
  (void)error;
  return false;
#endif
}

// A child that waits for a signal; SIGALRM ends it if none comes, so that a failing case cannot hang.
pid_t StartTarget() {
  pid_t pid = fork();
  if (pid == 0) {
    alarm(10);
    for (;;)
      pause();
  }
  return pid;
}

// Runs body in a child process and returns its exit status, or -1 when it did not exit normally.
template <typename Body>
int RunInChild(Body body) {
  pid_t pid = fork();
  if (pid == 0)
    _exit(body());
  int status;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

// The signal that ended the target, or 0 when it had not ended yet (it is killed then).
int EndOfTarget(pid_t target, bool mayStillRun) {
  int status;
  if (mayStillRun && waitpid(target, &status, WNOHANG) == 0) {
    kill(target, SIGKILL);
    waitpid(target, &status, 0);
    return 0;
  }
  if (waitpid(target, &status, 0) != target || !WIFSIGNALED(status))
    return -1;
  return WTERMSIG(status);
}

TEST(TargetProcess, SignalsArriveWhenPidfdSignalsAreRefused) {
  // 0: nothing blocked, the descriptor carries the signals.
  for (int error : {0, ENOSYS, EPERM}) {
    pid_t target = StartTarget();
    ASSERT_GT(target, 0);
    // 3: the filter could not be installed.
    int result = RunInChild([&] {
      if (error != 0 && !BlockPidfdSignals(error))
        return 3;
      CTargetProcess process(target);
      if (!process.Signal(0))
        return 1;
      return process.Signal(SIGTERM) ? 0 : 2;
    });
    int signal = EndOfTarget(target, result != 0);
    if (result == 3)
      GTEST_SKIP() << "seccomp filters are not available here";
    EXPECT_EQ(0, result) << "error " << error;
    EXPECT_EQ(SIGTERM, signal) << "error " << error;
  }
}

TEST(TargetProcess, ProcessThatMayNotBeSignalledIsLeftAlone) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to start a process that another user may not signal";
  // A real EPERM must not be taken for a blocked call: nothing is sent, with or without a filter that
  // refuses the call as well.
  for (int error : {0, EPERM}) {
    pid_t target = StartTarget();
    ASSERT_GT(target, 0);
    int result = RunInChild([&] {
      if (error != 0 && !BlockPidfdSignals(error))
        return 3;
      if (setgid(65534) != 0 || setuid(65534) != 0)
        return 4;
      CTargetProcess process(target);
      return process.Signal(SIGTERM) || process.Signal(0) ? 1 : 0;
    });
    int signal = EndOfTarget(target, true);
    if (result == 3)
      GTEST_SKIP() << "seccomp filters are not available here";
    EXPECT_EQ(0, result) << "error " << error;
    EXPECT_EQ(0, signal) << "error " << error << ": the target was ended by signal " << signal;
  }
}

}  // namespace
