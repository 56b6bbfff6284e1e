#include "verify/verify.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <optional>

#include "sys/base_lock.h"
#include "sys/descriptor.h"
#include "sys/examination.h"
#include "sys/path_name.h"
#include "sys/progress.h"
#include "sys/mapped_file.h"
#include "sys/run_error.h"
#include "sys/sha256.h"
#include "sys/worker_pool.h"
#include "table/mode_rules.h"
#include "table/table_file.h"

namespace {

void TakeState(const PathState& state, Finding& finding) {
  finding.mode = state.mode;
  finding.user = state.user;
  finding.group = state.group;
  finding.mtime = state.mtime;
}

std::string TypeName(uint32_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG:
      return "file";
    case S_IFDIR:
      return "dir";
    case S_IFLNK:
      return "symlink";
    case S_IFIFO:
      return "fifo";
    case S_IFSOCK:
      return "socket";
    case S_IFCHR:
      return "chardev";
    case S_IFBLK:
      return "blockdev";
    default:
      return "unknown";
  }
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[128];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  return text;
}

/// "owner daemon, table root" when the ids differ; empty when they are the same.
std::string OwnerDifference(const TableEntry& record, const Finding& finding, CIdCache& ids) {
  std::optional<uid_t> wanted;
  try {
    wanted = ids.UserId(record.owner);
  } catch (const RunError&) {
    // A name this system does not know can equal no owner.
  }
  if (wanted && *wanted == finding.user)
    return "";
  return "owner " + ids.UserName(finding.user).value_or(std::to_string(finding.user)) + ", table " + record.owner;
}

std::string GroupDifference(const TableEntry& record, const Finding& finding, CIdCache& ids) {
  std::optional<gid_t> wanted;
  try {
    wanted = ids.GroupId(record.group);
  } catch (const RunError&) {
  }
  if (wanted && *wanted == finding.group)
    return "";
  return "group " + ids.GroupName(finding.group).value_or(std::to_string(finding.group)) + ", table " +
         record.group;
}

/// Owner, group and, when asked, time: the attributes that every kind of record shares.
void CompareOwnership(const TableEntry& record, const Finding& finding, CIdCache& ids, bool withTime,
                      Differences& differences) {
  for (std::string difference : {OwnerDifference(record, finding, ids), GroupDifference(record, finding, ids)})
    if (!difference.empty())
      differences.attributes.push_back(std::move(difference));
  if (withTime && finding.mtime != record.mtime)
    differences.attributes.push_back(Format("time %" PRId64 ", table %" PRId64, finding.mtime, record.mtime));
}

void CompareFile(const TableEntry& record, const Finding& finding, CIdCache& ids, const Sha256Sums* releaseSums,
                 Differences& differences) {
  const FileAttributes& file = record.file;
  const bool changed = finding.digest != file.digest;
  // A link that leads to the record's own content is replaced by the file at the next run.
  if (!S_ISREG(finding.mode) && !(finding.followed && changed)) {
    differences.attributes.push_back("type " + TypeName(finding.mode) + ", table file");
    return;
  }
  bool keptChange = false;
  if (changed && file.keepLocalChanges) {
    differences.attributes.push_back("content changed locally (kept)");
    keptChange = true;
  } else if (changed) {
    differences.attributes.push_back("content " + finding.digest + ", table " + file.digest);
  } else if (releaseSums && !finding.sha256.empty()) {
    // The MD5 agrees; the release's SHA-256 tells a twin made to share it from the content signed.
    auto listed = releaseSums->find(file.source);
    if (listed != releaseSums->end() && listed->second != finding.sha256)
      differences.attributes.push_back("SHA-256 " + finding.sha256 + ", release " + listed->second);
  }
  // A followed link is a kept change; Linux gives the link no mode of its own for a run to set.
  if (!finding.followed) {
    if (FileModeDiffers(finding.mode, file.mode)) {
      if (file.mode & S_IFMT)
        differences.attributes.push_back(Format("mode 0%o, table 0%o", finding.mode, file.mode));
      else
        differences.attributes.push_back(Format("mode 0%03o, table 0%03o", finding.mode & 07777, file.mode));
    }
  }
  // A kept change keeps its own time as well.
  CompareOwnership(record, finding, ids, !keptChange, differences);
}

void CompareDir(const TableEntry& record, const Finding& finding, CIdCache& ids, Differences& differences) {
  // A link to a directory is a directory moved elsewhere, which runs keep: they set the owner, group and
  // time of the link itself.
  if (!S_ISDIR(finding.mode) && !finding.followed) {
    differences.attributes.push_back("type " + TypeName(finding.mode) + ", table dir");
    return;
  }
  if (record.keepExisting)
    return;
  if (!finding.followed && DirModeDiffers(finding.mode, record.dirMode))
    differences.attributes.push_back(
        Format("mode 0%03o, table 0%03o", finding.mode & 07777, record.dirMode & 07777));
  CompareOwnership(record, finding, ids, true, differences);
}

void CompareSymlink(const TableEntry& record, const Finding& finding, CIdCache& ids, Differences& differences) {
  if (!S_ISLNK(finding.mode)) {
    differences.attributes.push_back("type " + TypeName(finding.mode) + ", table symlink");
    return;
  }
  if (finding.target != record.target)
    differences.attributes.push_back("target " + Escape(finding.target) + ", table " + Escape(record.target));
  // Runs set the time of the link itself, as of any other record.
  CompareOwnership(record, finding, ids, true, differences);
}

// Records are handed to the workers in runs of this many, and handed back to the ordered thread the same
// way: one wake-up per record would cost more than the examination of a small file.
constexpr size_t kBatch = 32;

/// Examines every record on the workers of a pool, as many at once as asked, and hands the findings out in
/// table order; without any worker, on the calling thread as each is taken. Stops the examination and
/// waits for the workers when it goes away.
class CExamination {
 public:
  CExamination(int baseDirectory, const std::string& basedir, const std::vector<TableEntry>& records, unsigned jobs,
               bool withSha256)
      : baseDirectory(baseDirectory),
        basedir(basedir),
        withSha256(withSha256),
        records(records),
        findings(records.size()),
        examined((records.size() + kBatch - 1) / kBatch, 0),
        pool(static_cast<unsigned>(std::min<size_t>(std::max(jobs, 1u), examined.size()))) {
    // Each task keeps its worker's examiner, and with it the read buffer, for every batch it takes; the
    // groups keep the tasks on workers of their own.
    for (size_t group = 0; group < pool.Size(); ++group)
      pool.Submit([this] { Work(); }, group);
  }
  ~CExamination() { stopping = true; }
  CExamination(const CExamination&) = delete;
  CExamination& operator=(const CExamination&) = delete;

  /// The finding of record index, once it is examined; each index is taken once, in order.
  Finding Take(size_t index) {
    // Fewer threads only make it slower: with none at all, each record is examined as it is taken.
    if (pool.Size() == 0) {
      if (!inlineExaminer)
        inlineExaminer.emplace(baseDirectory, basedir, withSha256);
      Finding finding;
      ExamineInto(*inlineExaminer, index, finding);
      return finding;
    }
    if (index >= takenEnd) {
      size_t batch = index / kBatch;
      std::unique_lock<std::mutex> lock(mutex);
      ready.wait(lock, [&] { return examined[batch] != 0; });
      takenEnd = std::min((batch + 1) * kBatch, records.size());
    }
    return std::move(findings[index]);
  }

 private:
  void ExamineInto(CRecordExaminer& examiner, size_t index, Finding& finding) {
    try {
      finding = examiner.Examine(records[index]);
    } catch (const std::exception& error) {
      finding.failure = error.what();
    }
  }

  void Work() {
    CRecordExaminer examiner(baseDirectory, basedir, withSha256);
    for (;;) {
      const size_t first = next.fetch_add(kBatch);
      if (first >= records.size())
        return;
      const size_t end = std::min(first + kBatch, records.size());
      // Each index has one writer; the mutex below hands the findings over to the reader.
      for (size_t index = first; index < end && !stopping; ++index)
        ExamineInto(examiner, index, findings[index]);
      {
        std::lock_guard<std::mutex> lock(mutex);
        examined[first / kBatch] = 1;
      }
      ready.notify_one();
    }
  }

  const int baseDirectory;
  const std::string basedir;
  const bool withSha256;
  const std::vector<TableEntry>& records;
  std::vector<Finding> findings;
  std::vector<char> examined;  ///< per batch; guarded by mutex
  size_t takenEnd = 0;         ///< records below this are examined; the ordered thread's own
  std::optional<CRecordExaminer> inlineExaminer;  ///< the calling thread's, when the pool has no worker
  std::mutex mutex;
  std::condition_variable ready;
  std::atomic<size_t> next{0};
  std::atomic<bool> stopping{false};
  CWorkerPool pool;  ///< last: it finishes its tasks before anything they use goes away
};

}  // namespace

CRecordExaminer::CRecordExaminer(int baseDirectory, const std::string& basedir, bool withSha256)
    : baseDirectory(baseDirectory), basedir(basedir), withSha256(withSha256) {}

Finding CRecordExaminer::Examine(const TableEntry& record) {
  Finding finding;
  const std::string name = RelativeName(record.name);
  const bool isLinkRecord = record.kind == EntryKind::Symlink;
  const PathState state = ExaminePath(baseDirectory, name, isLinkRecord);
  if (!state.exists) {
    if (state.error == ENOENT || state.error == ENOTDIR) {
      finding.missing = true;
      return finding;
    }
    FailErrno(state.error, "lstat(%s)", (basedir + record.name).c_str());
  }
  TakeState(state, finding);

  if (S_ISLNK(state.mode) && isLinkRecord) {
    if (state.targetError != 0)
      FailErrno(state.targetError, "readlink(%s)", (basedir + record.name).c_str());
    finding.target = state.target;
    return finding;
  }
  // Runs read a kept file's content through a link at its path and keep the link when that content is a
  // local change, and they keep a link that stands for a directory moved elsewhere.
  struct stat reached;
  const bool linkMayStand =
      (record.kind == EntryKind::File && record.file.keepLocalChanges) || record.kind == EntryKind::Dir;
  if (S_ISLNK(state.mode) && linkMayStand && fstatat(baseDirectory, name.c_str(), &reached, 0) == 0) {
    if (record.kind == EntryKind::Dir && S_ISDIR(reached.st_mode))
      finding.followed = true;
    if (record.kind == EntryKind::File && S_ISREG(reached.st_mode)) {
      finding.followed = true;
      HashFile(name, basedir + record.name, true, finding);
    }
    return finding;
  }
  if (S_ISREG(state.mode) && record.kind == EntryKind::File)
    HashFile(name, basedir + record.name, false, finding);
  return finding;
}

void CRecordExaminer::HashFile(const std::string& name, const std::string& path, bool followLink,
                               Finding& finding) {
  // Reading must not even leave an access time behind.
  PathState opened;
  std::optional<CControlSumSHA256> sha256;
  if (withSha256)
    sha256.emplace();
  std::optional<std::string> digest = ControlSumAt(
      baseDirectory, name, path,
      {.followLink = followLink, .noAccessTime = true, .also = sha256 ? &*sha256 : nullptr}, opened, buffer);
  // Something else swapped in since the examination is what the finding reports.
  if (!followLink)
    TakeState(opened, finding);
  if (!digest) {
    finding.followed = false;
    return;
  }
  finding.digest = std::move(*digest);
  if (sha256)
    finding.sha256 = sha256->HexDigest();
  finding.bytesRead = opened.size;
}

Differences CompareRecord(const TableEntry& record, const Finding& finding, CIdCache& ids,
                          const Sha256Sums* releaseSums) {
  Differences differences;
  if (finding.missing) {
    differences.attributes.push_back("missing");
  } else if (record.kind == EntryKind::File) {
    CompareFile(record, finding, ids, releaseSums, differences);
  } else if (record.kind == EntryKind::Dir) {
    CompareDir(record, finding, ids, differences);
  } else if (record.kind == EntryKind::Symlink) {
    CompareSymlink(record, finding, ids, differences);
  }
  for (const std::string& attribute : differences.attributes)
    if (attribute != "content changed locally (kept)")
      differences.damage = true;
  return differences;
}

std::string DifferenceLine(const TableEntry& record, const Differences& differences) {
  std::string line = Escape(record.name) + ": ";
  for (size_t i = 0; i < differences.attributes.size(); ++i) {
    if (i > 0)
      line += "; ";
    line += differences.attributes[i];
  }
  return line;
}

int VerifyBase(const VerifyOptions& options, FILE* output) {
  const std::string basedir = WithTrailingSlash(options.basedir);
  CBaseLock lock(options.basedir, false);
  const std::string tablePath = basedir + (options.table.empty() ? std::string("files.txt") : options.table);
  std::vector<TableEntry> records = LoadInstalledTable(tablePath, true);
  // A signed release recorded by the last run: named, and its SHA-256 digests checked as well.
  bool exists = false;
  const std::optional<InstalledRelease> release =
      ParseInstalledRelease(ReadPrivateRecord(ReleaseRecordPath(tablePath), exists));
  std::optional<Sha256Sums> releaseSums;
  if (release) {
    fprintf(stderr, "Release: %s version %" PRIu64 ", SHA256SUMS %s\n", release->product.c_str(), release->version,
            release->sumsDigest.c_str());
    const std::string sumsPath = ReleaseSumsPath(tablePath);
    releaseSums = ParseSha256Sums(ReadPrivateRecord(sumsPath, exists), sumsPath);
  }
  // The table record describes the table file itself, which is no path of the installation.
  std::erase_if(records, [](const TableEntry& record) { return record.kind == EntryKind::Table; });
  CDescriptor base(open(basedir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!base.Valid())
    FailErrno(errno, "open(%s)", basedir.c_str());

  CProgress progress(options.progress);
  progress.SetTotal(records.size());
  CIdCache ids;
  bool damaged = false;
  {
    CExamination examination(base.Get(), basedir, records, options.jobs ? options.jobs : DefaultJobs(),
                             releaseSums.has_value());
    for (size_t i = 0; i < records.size(); ++i) {
      Finding finding = examination.Take(i);
      if (!finding.failure.empty())
        Fail("%s", finding.failure.c_str());
      progress.Advance(1, finding.bytesRead);
      Differences differences = CompareRecord(records[i], finding, ids, releaseSums ? &*releaseSums : nullptr);
      if (differences.attributes.empty())
        continue;
      progress.PrintLine(output, DifferenceLine(records[i], differences));
      damaged = damaged || differences.damage;
    }
  }
  progress.Finish();
  return damaged ? 2 : 0;
}

int RunVerify(const VerifyOptions& options) { return VerifyBase(options, stdout); }
