#include "sys/base_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "sys/run_error.h"

CBaseLock::CBaseLock(const std::string& basedir, bool exclusive)
    : directory(open(basedir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (!directory.Valid())
    return;
  int result;
  do
    result = flock(directory.Get(), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
  while (result != 0 && errno == EINTR);
  if (result == 0)
    return;
  int err = errno;
  if (err == EWOULDBLOCK)
    Fail("Cannot lock %s: another run of propagate is using it", basedir.c_str());
  FailErrno(err, "Cannot lock %s", basedir.c_str());
}
