#include "install/propagator.h"

#include <sys/stat.h>

#include <cstdint>

#include "sys/file_ops.h"
#include "sys/run_error.h"

CPropagator::CPropagator(bool interactive, const std::string& repodir, const std::string& basedir, bool dryRun)
    : interactive(interactive), repodir(repodir), basedir(basedir), dryRun(dryRun) {
  // Creates only the last component; any failure shows up at the first step that needs the directory.
  if (!dryRun)
    mkdir(this->basedir.c_str(), 0755);
}

std::vector<Action> CPropagator::Apply(const TableEntry& entry) {
  switch (static_cast<uint32_t>(entry.kind)) {
    case 0:
      return {};
    case 1:
      ApplyTable(entry);
      return {};
    case 2:
      return ApplyFile(entry);
    case 3:
    case 4: {
      // A directory or link record may put another directory at a path that copies went through. Copies
      // on other threads may open that path while it changes: what they keep open is forgotten once the
      // change is over, whether it succeeded or not.
      struct CForgetAfterwards {
        ~CForgetAfterwards() { ForgetOpenDirectories(); }
      } forgetAfterwards;
      return entry.kind == EntryKind::Dir ? ApplyDir(entry) : ApplySymlink(entry);
    }
    default:
      Fail("Internal inconsistency");
  }
}

void CPropagator::RequireTableRecord() const {
  if (tableRecord.kind == EntryKind::None)
    Fail("Repository table corrupt");
}

