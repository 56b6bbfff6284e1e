#ifndef PROPAGATE_SYS_BASE_LOCK_H_
#define PROPAGATE_SYS_BASE_LOCK_H_

#include <string>

#include "sys/descriptor.h"

/// A lock on a base directory for the length of one run (flock on the directory's descriptor), so that two
/// runs never interleave. It goes with the process: a killed run leaves no lock behind.
class CBaseLock {
 public:
  /// Takes an exclusive lock, or a shared one for forms that only read. A base directory that cannot be
  /// opened is not locked (nothing can be changed there either). Fails at once, without waiting, with
  /// "Cannot lock %s: another run of propagate is using it" (the directory) while another run holds it.
  CBaseLock(const std::string& basedir, bool exclusive);
  CBaseLock(const CBaseLock&) = delete;
  CBaseLock& operator=(const CBaseLock&) = delete;

  /// True when the directory could be opened and is locked.
  bool Held() const { return directory.Valid(); }

 private:
  CDescriptor directory;
};

#endif  // PROPAGATE_SYS_BASE_LOCK_H_
