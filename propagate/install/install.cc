#include "install/install.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>

#include "install/download_area.h"
#include "install/path_resolver.h"
#include "install/propagator.h"
#include "install/prune.h"
#include "install/record_scheduler.h"
#include "install/release_check.h"
#include "sys/base_lock.h"
#include "sys/fetcher.h"
#include "sys/file_ops.h"
#include "sys/hex_text.h"
#include "sys/mapped_file.h"
#include "sys/path_name.h"
#include "sys/progress.h"
#include "sys/run_error.h"

namespace {

/// What a look over a table's lines tells before it is parsed.
struct TableShape {
  uint64_t records = 0;  ///< table, file, dir and symlink lines, for the progress line's total
  bool ended = false;    ///< an end line was found
};
TableShape ShapeOf(const std::string& table) {
  TableShape shape;
  CLineCursor lines(table);
  for (std::string line; lines.Next(line);) {
    size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos)
      continue;
    std::string_view keyword = std::string_view(line).substr(start, line.find(' ', start) - start);
    if (keyword == "table" || keyword == "file" || keyword == "dir" || keyword == "symlink")
      ++shape.records;
    else if (keyword == "end")
      return {shape.records, true};
  }
  return shape;
}

/// What a run prints: the action lines (with -n or -v) and the status line.
class CReport {
 public:
  explicit CReport(const InstallOptions& options) : CReport(options.dryRun || options.verbose, options.progress) {}
  CReport(bool lines, bool progress) : lines(lines), progress(progress) {}
  void Print(const std::vector<Action>& actions) {
    if (lines)
      for (const Action& action : actions)
        progress.PrintLine(stdout, FormatAction(action));
  }
  /// Prints what a finished record did and counts it.
  void Record(RecordResult& result) {
    Print(result.actions);
    progress.Advance(1, result.bytes);
  }
  CProgress& Progress() { return progress; }

 private:
  const bool lines;
  CProgress progress;
};

/// Hands the records of a table to the scheduler in order: directories, links and the table record run on
/// this thread, files on the workers, each once nothing it may reach is in progress.
class CRecordFeed {
 public:
  CRecordFeed(CPropagator& propagator, const InstallOptions& options)
      : propagator(propagator),
        scheduler(options.jobs == 0 ? DefaultJobs() : options.jobs),
        resolver(propagator.BaseDescriptor()) {}

  /// Schedules one record.
  void Schedule(TableEntry&& entry) {
    if (entry.kind == EntryKind::File)
      ScheduleFile(std::move(entry));
    else if (entry.kind != EntryKind::None)
      ScheduleHere(entry);
  }
  /// True once a record has failed: no further record is read then.
  bool Failed() const { return scheduler.Failed(); }
  /// Makes a failure of this thread's (a malformed line) the next record's.
  void Fail(std::exception_ptr failure) { scheduler.AddFailure(failure); }
  /// Hands the finished results to report in table order; throws the earliest failure.
  void Drain(CReport& report) {
    scheduler.Drain([&](RecordResult& result) { report.Record(result); });
  }
  /// Waits for every record, then drains.
  void Finish(CReport& report) {
    scheduler.WaitAll();
    Drain(report);
  }

 private:
  void ScheduleFile(TableEntry&& entry) {
    // A file that the dry run before the downloads found right needs no look and no worker: it is only
    // counted, and its fingerprint kept.
    if (propagator.settled && propagator.settled->count(entry.name) != 0) {
      scheduler.RunHere(resolver.Resolve(entry.name), [&] {
        RecordResult result;
        uint64_t bytes = 0;
        result.actions = propagator.ReconcileFile(entry, OwnerIds{}, bytes);
        return result;
      });
      return;
    }
    try {
      propagator.RequireTableRecord();
      OwnerIds owner = ResolveOwner(propagator.ids, entry.owner, entry.group);
      // Records at or below the name never run beside this one, so directories forgotten once its copy is
      // over are opened afresh by every later record that goes through the name. A file may also replace
      // a link that earlier records went through under another name.
      const bool forget = reuse.MayReplaceDirectory(entry.name) | resolver.Replacing(entry.name);
      // The paths are taken before the entry moves into the work: arguments may be evaluated in any order.
      RecordPaths paths = resolver.Resolve(entry.name);
      scheduler.Start(std::move(paths), [this, entry = std::move(entry), owner, forget] {
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
  }

  void ScheduleHere(const TableEntry& entry) {
    if (entry.kind == EntryKind::Symlink)
      resolver.Replacing(entry.name);
    scheduler.RunHere(resolver.Resolve(entry.name), [&] {
      RecordResult result;
      result.actions = propagator.Apply(entry);
      return result;
    });
  }

  CPropagator& propagator;
  CDirectoryReuse reuse;
  CRecordScheduler scheduler;
  CPathResolver resolver;
};

/// The name that the table's table record gives the installed table; files.txt when it has none, as the run
/// then fails before it installs anything.
std::string TableName(const std::string& table) {
  CTableParser parser;
  CLineCursor lines(table);
  TableEntry entry;
  try {
    for (std::string line; lines.Next(line) && parser.ParseLine(line, entry);)
      if (entry.kind == EntryKind::Table)
        return entry.name;
  } catch (const RunError&) {
  }
  return "files.txt";
}

/// The next record of the table, parsed; false at its end. A malformed line, or one whose fields hold a
/// zero byte (every system call would stop there and act on a shorter path), throws.
bool NextRecord(CTableParser& parser, CLineCursor& lines, TableEntry& entry) {
  std::string line;
  if (!lines.Next(line) || !parser.ParseLine(line, entry))
    return false;
  if (entry.kind != EntryKind::None && (line.find('\0') != std::string::npos || HasZeroByte(entry)))
    Fail("Parse error in line %" PRIu64 ": Zero byte in a field", parser.LineNumber());
  return true;
}

/// Applies the records of table in order, reporting each; with newNames, the names of the records go there,
/// and the result tells whether a name came more than once.
bool ApplyRecords(CPropagator& propagator, const InstallOptions& options, const std::string& table, CReport& report,
                  std::unordered_set<std::string>* newNames) {
  CRecordFeed feed(propagator, options);
  bool repeated = false;
  CTableParser parser;
  CLineCursor lines(table);
  while (!feed.Failed()) {
    TableEntry entry;
    try {
      if (!NextRecord(parser, lines, entry))
        break;
    } catch (...) {
      feed.Fail(std::current_exception());
      break;
    }
    if (newNames && entry.kind != EntryKind::None && entry.kind != EntryKind::Table)
      repeated |= !newNames->insert(entry.name).second;
    feed.Schedule(std::move(entry));
    feed.Drain(report);
  }
  feed.Finish(report);
  return repeated;
}

// Caps on what a mirror may send for the files that are read whole into memory.
constexpr uint64_t kTableCap = uint64_t{1} << 30;
constexpr uint64_t kReleaseFileCap = uint64_t{256} << 20;

/// Where the run reads the table and the release files: a repository directory, or a mirror's URL.
class CRepository {
 public:
  explicit CRepository(const InstallOptions& options)
      : url(IsRepositoryUrl(options.repodir) ? options.repodir : std::string()),
        name(WithTrailingSlash(options.repodir)) {
    settings.caCertificate = options.caCertificate;
    settings.speedTime = options.speedTime;
    if (!url.empty())
      fetcher.emplace(settings);
  }
  /// True for a mirror.
  bool Remote() const { return fetcher.has_value(); }
  /// How messages name the repository, ending in "/".
  const std::string& Name() const { return name; }
  /// The URL of a name in the repository.
  std::string UrlOf(const std::string& relative) const { return JoinUrl(url, relative); }
  /// The table's bytes.
  std::string Table() {
    if (!Remote())
      return ReadWholeFile(name + "files.txt");
    std::string table = fetcher->FetchText(UrlOf("files.txt"), kTableCap);
    // A whole answer of a mirror in the middle of an update can still hold half a table, which would leave out
    // (and with --prune remove) everything after the cut.
    if (!ShapeOf(table).ended)
      Fail("%s: The table has no end line: cut short, or a mirror in the middle of an update",
           UrlOf("files.txt").c_str());
    return table;
  }
  /// The signature and the sums of the release.
  ReleaseFiles Release() {
    if (!Remote())
      return ReadReleaseFiles(name);
    ReleaseFiles files;
    files.signatureName = UrlOf(kSignatureName);
    files.sumsName = UrlOf(kSha256SumsName);
    files.tableName = UrlOf("files.txt");
    files.signature = fetcher->FetchText(files.signatureName, kReleaseFileCap);
    files.sums = fetcher->FetchText(files.sumsName, kReleaseFileCap);
    return files;
  }
  /// Brings every requested object to the download area, writing at most budget bytes there, with up to
  /// fetchers fetchers at once, each on a thread of its own; progress is called from any of them.
  void Fetch(const std::vector<FetchRequest>& requests, uint64_t budget, unsigned fetchers,
             const std::function<void(const FetchProgress&)>& progress) {
    // Receiving, summing and writing many small objects keeps a CPU busy: each share of them goes through a
    // fetcher of its own. The shares take turns in table order, so that every fetcher has work to the end.
    fetchers = static_cast<unsigned>(std::max<size_t>(1, std::min<size_t>(fetchers, requests.size())));
    std::vector<std::vector<FetchRequest>> shares(fetchers);
    for (size_t index = 0; index < requests.size(); ++index)
      shares[index % fetchers].push_back(requests[index]);
    std::vector<FetchProgress> states(fetchers);
    std::mutex lock;
    std::atomic<bool> stopping{false};
    std::exception_ptr failure;
    struct Stopped {};  // thrown through a fetcher to end it once another has failed
    auto work = [&](unsigned index) {
      try {
        FetchSettings share = settings;
        share.spaceBudget = budget / fetchers;
        CFetcher fetcher(share);
        fetcher.FetchAll(shares[index], [&](const FetchProgress& state) {
          if (stopping.load())
            throw Stopped();
          FetchProgress total;
          {
            std::lock_guard<std::mutex> hold(lock);
            states[index] = state;
            for (const FetchProgress& each : states) {
              total.objectsDone += each.objectsDone;
              total.objects += each.objects;
              total.bytesFetched += each.bytesFetched;
              total.bytesExpected += each.bytesExpected;
            }
          }
          if (progress)
            progress(total);
        });
      } catch (const Stopped&) {
      } catch (...) {
        std::lock_guard<std::mutex> hold(lock);
        if (!failure)
          failure = std::current_exception();
        stopping = true;
      }
    };
    {
      std::vector<std::jthread> others;
      for (unsigned index = 1; index < fetchers; ++index)
        others.emplace_back(work, index);
      work(0);
    }
    if (failure)
      std::rethrow_exception(failure);
  }

 private:
  const std::string url;
  const std::string name;
  FetchSettings settings;
  std::optional<CFetcher> fetcher;
};

/// What a run from a mirror must download: one request per object, by object name, and how many records
/// copy each. Filled from the workers of a dry run.
class CDownloadPlan {
 public:
  /// Notes that entry's content (with the release's SHA-256 for it, or none) is copied by one more record.
  void Need(const CRepository& repository, const std::string& area, const TableEntry& entry,
            const std::string& sha256) {
    // The object's name is made of the control sum: it must be one, or it could name a path elsewhere.
    if (entry.file.digest.size() != 32 ||
        !std::all_of(entry.file.digest.begin(), entry.file.digest.end(),
                     [](char c) { return IsHexDigit(static_cast<unsigned char>(c)); }))
      Fail("%s%s: The table gives the control sum %s, not 32 hexadecimal digits", repository.Name().c_str(),
           entry.file.source.c_str(), entry.file.digest.c_str());
    const std::string object = ObjectName(entry.file.digest, sha256);
    std::lock_guard<std::mutex> hold(lock);
    if (content.uses[object]++ == 0)
      requests.push_back({repository.UrlOf(entry.file.source), area + object, entry.file.digest, sha256});
  }
  /// Notes a file record that the dry run found right.
  void Settle(const std::string& name, SettledFile&& file) {
    std::lock_guard<std::mutex> hold(lock);
    settled.emplace(name, std::move(file));
  }
  std::vector<FetchRequest> requests;
  FetchedContent content;
  std::unordered_map<std::string, SettledFile> settled;

 private:
  std::mutex lock;
};

/// A run from a mirror: a dry run of table (the planner) chooses what to download, which is then downloaded
/// into the download area, made only when something is to be downloaded; propagator is told where to find it,
/// and what the planner found right.
void FetchWhatTheRunNeeds(CRepository& repository, const InstallOptions& options, const std::string& table,
                          CPropagator& propagator, CReport& report, CDownloadPlan& plan,
                          std::optional<CDownloadArea>& area) {
  const std::string& contentDirectory = propagator.repodir;
  plan.content.area = contentDirectory;
  {
    CPropagator planner(options.interactive, contentDirectory, propagator.basedir, true, options.checksum);
    planner.repositoryName = repository.Name();
    planner.appliedTable = table;
    planner.release = propagator.release;
    planner.contentNeeded = [&](const TableEntry& entry, const std::string& sha256) {
      plan.Need(repository, contentDirectory, entry, sha256);
    };
    planner.settledFound = [&](const std::string& name, SettledFile&& file) { plan.Settle(name, std::move(file)); };
    CReport silent(false, false);
    // A record that the dry run finds failing fails the run with the run's own message, after the records
    // before it, as from a repository directory; what they need is fetched. A dry run does not see what an
    // earlier record of the same name copies: with a name listed twice, nothing the planner learnt is taken
    // for certain.
    std::unordered_set<std::string> names;
    try {
      plan.content.foreseen = !ApplyRecords(planner, options, table, silent, &names);
    } catch (const RunError&) {
      plan.content.plannerFailure = std::current_exception();
      plan.content.foreseen = false;
    }
  }
  // An area left by an earlier run is removed at the end, though nothing is downloaded now.
  struct stat status;
  if (!plan.requests.empty() || lstat(contentDirectory.c_str(), &status) == 0)
    area.emplace(propagator.basedir);
  if (!plan.requests.empty()) {
    CProgress& progress = report.Progress();
    progress.Fetching(0, plan.requests.size(), 0, 0);
    repository.Fetch(plan.requests, area->SpaceBudget(), options.jobs == 0 ? DefaultJobs() : options.jobs,
                     [&](const FetchProgress& state) {
                       progress.Fetching(state.objectsDone, state.objects, state.bytesFetched, state.bytesExpected);
                     });
    progress.FetchingDone();
  }
  propagator.fetched = &plan.content;
  if (plan.content.foreseen)
    propagator.settled = &plan.settled;
}

}  // namespace

int RunInstall(const InstallOptions& options) {
  // A signed release is checked before the base directory is even made: a refusal changes nothing.
  const std::vector<MinisignPublicKey> keys = LoadTrustedKeys(options.trustedKeyDirectory, options.trustedKeyFiles);
  CRepository repository(options);
  std::string table;
  ReleaseFiles releaseFiles;
  std::optional<CheckedRelease> release;
  std::string recordPath;
  std::string recordText;
  // Checks the release against the installed release's record as it reads now: before anything changes,
  // and once more under the lock, as another run may have installed a release meanwhile.
  auto checkRelease = [&] {
    bool exists = false;
    recordText = ReadPrivateRecord(recordPath, exists);
    const std::optional<InstalledRelease> installed = ParseInstalledRelease(recordText);
    // A record that cannot be trusted must not turn the run into a first installation, which takes any
    // version.
    if (exists && !installed && !options.allowDowngrade)
      Fail("%s: The record of the installed release is damaged, or not root's alone: the release cannot be "
           "checked against it (--allow-downgrade installs it)",
           recordPath.c_str());
    release = CheckRelease(releaseFiles, table, keys, installed, options.allowDowngrade,
                           static_cast<int64_t>(time(nullptr)));
  };
  // A mirror's table is fetched before anything changes: a mirror that cannot be reached changes nothing.
  if (!keys.empty() || repository.Remote())
    table = repository.Table();
  if (!keys.empty()) {
    releaseFiles = repository.Release();
    recordPath = ReleaseRecordPath(WithTrailingSlash(options.basedir) + TableName(table));
    checkRelease();
  }
  const std::string basedir = WithTrailingSlash(options.basedir);
  // A mirror's content is read from the download area, by object name.
  const std::string contentDirectory = repository.Remote() ? basedir + kDownloadAreaName + "/" : repository.Name();
  CPropagator propagator(options.interactive, contentDirectory, basedir, options.dryRun, options.checksum);
  propagator.repositoryName = repository.Name();
  CBaseLock lock(propagator.basedir, !options.dryRun);
  CReport report(options);
  // The table is read once: the bytes that are applied are the bytes that are installed.
  if (keys.empty() && !repository.Remote()) {
    table = repository.Table();
  } else if (!keys.empty()) {
    bool exists = false;
    if (ReadPrivateRecord(recordPath, exists) != recordText)
      checkRelease();
  }
  propagator.appliedTable = table;
  propagator.release = release ? &*release : nullptr;

  std::optional<CDownloadArea> area;
  CDownloadPlan plan;
  if (repository.Remote() && options.dryRun)
    propagator.contentNeeded = [](const TableEntry&, const std::string&) {};
  else if (repository.Remote())
    FetchWhatTheRunNeeds(repository, options, table, propagator, report, plan, area);

  if (options.progress)
    report.Progress().SetTotal(ShapeOf(table).records);
  std::optional<CChangeTracker> tracker;
  if (!options.dryRun)
    tracker.emplace(propagator.basedir);

  std::unordered_set<std::string> newNames;
  ApplyRecords(propagator, options, table, report, options.prune ? &newNames : nullptr);

  // The end of the run: what the new table dropped, the directories' times, then the table itself.
  if (options.prune && propagator.tableRecord.kind == EntryKind::Table) {
    // The installed table is the new table's too, even when an old table listed its path as a file.
    newNames.insert(propagator.tableRecord.name);
    Prune(propagator.OldTable(), newNames, propagator.basedir, options.dryRun,
          [&](const Action& action) { report.Print({action}); }, propagator.PlannedLinks());
  }
  if (!options.dryRun)
    propagator.RestoreDirectoryTimes();
  report.Print(propagator.InstallTable(table));
  // What was downloaded is installed now, and a later run starts afresh.
  if (area)
    area->Remove();
  report.Progress().Finish();
  return 0;
}

