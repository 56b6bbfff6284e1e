#include "install/install.h"

#include <cinttypes>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "install/path_resolver.h"
#include "install/propagator.h"
#include "install/prune.h"
#include "install/record_scheduler.h"
#include "sys/base_lock.h"
#include "sys/file_ops.h"
#include "sys/mapped_file.h"
#include "sys/path_name.h"
#include "sys/progress.h"
#include "sys/run_error.h"

namespace {

/// The number of table, file, dir and symlink lines, for the progress line's total.
uint64_t CountRecords(const std::string& table) {
  uint64_t count = 0;
  CLineCursor lines(table);
  for (std::string line; lines.Next(line);) {
    size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos)
      continue;
    std::string_view keyword = std::string_view(line).substr(start, line.find(' ', start) - start);
    if (keyword == "table" || keyword == "file" || keyword == "dir" || keyword == "symlink")
      ++count;
    else if (keyword == "end")
      break;
  }
  return count;
}

}  // namespace

int RunInstall(const InstallOptions& options) {
  CPropagator propagator(options.interactive, WithTrailingSlash(options.repodir),
                         WithTrailingSlash(options.basedir), options.dryRun);
  CBaseLock lock(propagator.basedir, !options.dryRun);
  const bool report = options.dryRun || options.verbose;
  CProgress progress(options.progress);
  auto print = [&](const std::vector<Action>& actions) {
    if (report)
      for (const Action& action : actions)
        progress.PrintLine(stdout, FormatAction(action));
  };

  // The table is read once: the bytes that are applied are the bytes that are installed.
  const std::string table = ReadWholeFile(propagator.repodir + "files.txt");
  if (options.progress)
    progress.SetTotal(CountRecords(table));
  std::optional<CChangeTracker> tracker;
  if (!options.dryRun)
    tracker.emplace(propagator.basedir);
  std::unordered_set<std::string> newNames;
  {
    CDirectoryReuse reuse;
    CRecordScheduler scheduler(options.jobs == 0 ? DefaultJobs() : options.jobs);
    CPathResolver resolver(propagator.BaseDescriptor());
    auto consume = [&](RecordResult& result) {
      print(result.actions);
      progress.Advance(1, result.bytes);
    };
    CTableParser parser;
    CLineCursor lines(table);
    for (std::string line; lines.Next(line);) {
      if (scheduler.Failed())
        break;
      TableEntry entry;
      try {
        if (!parser.ParseLine(line, entry))
          break;
        // Every system call would stop at a zero byte and act on a shorter path than the table names.
        if (entry.kind != EntryKind::None && (line.find('\0') != std::string::npos || HasZeroByte(entry)))
          Fail("Parse error in line %" PRIu64 ": Zero byte in a field", parser.LineNumber());
      } catch (...) {
        scheduler.AddFailure(std::current_exception());
        break;
      }
      if (options.prune && entry.kind != EntryKind::None && entry.kind != EntryKind::Table)
        newNames.insert(entry.name);
      if (entry.kind == EntryKind::File) {
        try {
          propagator.RequireTableRecord();
          OwnerIds owner = ResolveOwner(propagator.ids, entry.owner, entry.group);
          // Records at or below the name never run beside this one, so directories forgotten once its copy
          // is over are opened afresh by every later record that goes through the name.
          // A file may also replace a link that earlier records went through under another name.
          const bool forget = reuse.MayReplaceDirectory(entry.name) | resolver.Replacing(entry.name);
          // The paths are taken before the entry moves into the work: arguments may be evaluated in any order.
          RecordPaths paths = resolver.Resolve(entry.name);
          scheduler.Start(std::move(paths), [&propagator, entry = std::move(entry), owner, forget] {
            RecordResult result;
            try {
              result.actions = propagator.ReconcileFile(entry, owner, result.bytes);
            } catch (...) {
              result.failure = std::current_exception();
            }
            if (forget)
              ForgetOpenDirectories();
            return result;
          });
        } catch (...) {
          scheduler.AddFailure(std::current_exception());
        }
      } else if (entry.kind != EntryKind::None) {
        if (entry.kind == EntryKind::Symlink)
          resolver.Replacing(entry.name);
        scheduler.RunHere(resolver.Resolve(entry.name), [&] {
          RecordResult result;
          result.actions = propagator.Apply(entry);
          return result;
        });
      }
      scheduler.Drain(consume);
    }
    scheduler.WaitAll();
    scheduler.Drain(consume);
  }

  // The installed table is the new table's too, even when an old table listed its path as a file.
  if (options.prune && propagator.tableRecord.kind == EntryKind::Table) {
    newNames.insert(propagator.tableRecord.name);
    Prune(propagator.oldTable, newNames, propagator.basedir, options.dryRun,
          [&](const Action& action) { print({action}); }, propagator.PlannedLinks());
  }
  if (!options.dryRun)
    propagator.RestoreDirectoryTimes();
  print(propagator.InstallTable(table));
  progress.Finish();
  return 0;
}
