#ifndef PROPAGATE_TABLE_MODE_RULES_H_
#define PROPAGATE_TABLE_MODE_RULES_H_

#include <sys/stat.h>

#include <cstdint>

/// True when the mode found differs from a file record's: the whole mode word when the record gives the
/// file's type too (0100644), the permission bits when it gives them alone (0644). The run and --verify
/// judge by this one rule.
inline bool FileModeDiffers(uint32_t found, uint32_t recorded) {
  return (recorded & S_IFMT) ? found != recorded : (found & 07777) != recorded;
}

/// True when a directory's permission bits differ from its record's.
inline bool DirModeDiffers(uint32_t found, uint32_t recorded) { return (found & 07777) != (recorded & 07777); }

#endif  // PROPAGATE_TABLE_MODE_RULES_H_
