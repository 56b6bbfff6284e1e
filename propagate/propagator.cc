#include "propagator.h"

#include <sys/stat.h>

#include <cstring>

#include "command_line.h"
#include "create.h"
#include "mapped_file.h"
#include "run_error.h"
#include "verify.h"

std::string WithTrailingSlash(const std::string& path) {
  if (path.empty() || path.back() != '/')
    return path + "/";
  return path;
}

CPropagator::CPropagator(bool interactive, const std::string& repodir, const std::string& basedir)
    : interactive(interactive), repodir(repodir), basedir(basedir) {
  // Creates only the last component; any failure shows up at the first step that needs the directory.
  mkdir(this->basedir.c_str(), 0755);
}

void CPropagator::Apply(const TableEntry& entry) {
  switch (static_cast<uint32_t>(entry.kind)) {
    case 0:
      return;
    case 1:
      ApplyTable(entry);
      return;
    case 2:
      ApplyFile(entry);
      return;
    case 3:
      ApplyDir(entry);
      return;
    case 4:
      ApplySymlink(entry);
      return;
    default:
      Fail("Internal inconsistency");
  }
}

void CPropagator::RequireTableRecord() const {
  if (tableRecord.kind == EntryKind::None)
    Fail("Repository table corrupt");
}

int Run(int argc, char** argv) {
  Options options = ParseCommandLine(argc, argv);
  switch (options.form) {
    case CommandForm::Help:
      fputs(HelpText().c_str(), stdout);
      return 0;
    case CommandForm::Version:
      fputs(VersionText().c_str(), stdout);
      return 0;
    case CommandForm::Create:
      return RunCreate(options);
    case CommandForm::Verify:
      return RunVerify(options);
    case CommandForm::Run:
      break;
  }
  CPropagator propagator(options.interactive, WithTrailingSlash(options.repodir), WithTrailingSlash(options.basedir));

  std::vector<std::string> lines;
  LoadLines(propagator.repodir + "files.txt", lines);
  CTableParser parser;
  for (const std::string& line : lines) {
    TableEntry entry;
    if (!parser.ParseLine(line, entry))
      break;
    propagator.Apply(entry);
  }
  propagator.InstallTable();
  return 0;
}
