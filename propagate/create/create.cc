#include "create/create.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sys/control_sum.h"
#include "sys/descriptor.h"
#include "sys/id_cache.h"
#include "sys/path_name.h"
#include "sys/progress.h"
#include "sys/run_error.h"
#include "sys/sha256.h"
#include "sys/temporary_file.h"
#include "sys/tree_walk.h"
#include "sys/worker_pool.h"
#include "table/known_content.h"
#include "table/table_parser.h"
#include "table/table_writer.h"

namespace {

// Files up to this length are read whole before anything is written, so that content already in the
// repository costs no write; longer files go through the same buffer to a temporary file as they are read.
constexpr size_t kBufferSize = 256 * 1024;

/// A new file in the repository under a temporary name, removed when the object goes away unless renamed;
/// its failures name the temporary file as the repository shows it.
class CRepositoryFile {
 public:
  CRepositoryFile(int directory, const std::string& shownDirectory, const char* purpose) {
    int err = 0;
    file = CTemporaryFile::Create(directory, purpose, 0644, err);
    if (!file)
      FailErrno(err, "open(%s%s)", shownDirectory.c_str(), ("." + std::string(purpose) + ".propagate-XXXXXX").c_str());
    shown = shownDirectory + file->Name();
  }

  /// Writes all of data; "write(%s): %s".
  void Write(const void* data, size_t size) {
    if (!WriteAll(file->Descriptor(), data, size))
      FailErrno(errno, "write(%s)", shown.c_str());
  }
  /// Flushes the content to disk; "fsync(%s): %s".
  void Sync() {
    if (fsync(file->Descriptor()) != 0)
      FailErrno(errno, "fsync(%s)", shown.c_str());
  }
  /// Closes the file and gives it the name final in the same directory; "write(%s): %s", "rename(%s): %s".
  void Rename(const std::string& final, const std::string& shownFinal) {
    // Some file systems report a failed write only when the file is closed.
    if (file->Close() != 0)
      FailErrno(errno, "write(%s)", shown.c_str());
    if (file->RenameTo(final) != 0)
      FailErrno(errno, "rename(%s)", shownFinal.c_str());
  }

 private:
  std::unique_ptr<CTemporaryFile> file;
  std::string shown;
};

/// The two open directories of a run, and how messages show them.
struct Directories {
  int stage = -1;
  int repo = -1;
  std::string shownStage;  ///< the stage operand with a slash
  std::string shownRepo;   ///< the repository operand with a slash
};

/// True when the repository already holds a regular file name of length bytes.
bool ContentPresent(int repo, const std::string& name, uint64_t length) {
  struct stat status;
  return fstatat(repo, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode) &&
         static_cast<uint64_t>(status.st_size) == length;
}

/// Copies the staged file entry into the repository under the control sum of the bytes copied, which it
/// returns; with sha256, also gives their SHA-256 there. Each byte is read once: it is hashed and written from
/// the same buffer.
std::string StoreContent(const Directories& directories, const StagedEntry& entry, std::vector<unsigned char>& buffer,
                         CProgress& progress, std::string* sha256) {
  const std::string shown = directories.shownStage + entry.path;
  // O_NONBLOCK and O_NOCTTY: should a FIFO or a terminal take the file's place, it must not stop the run.
  CDescriptor source(
      openat(directories.stage, entry.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!source.Valid())
    FailErrno(errno, "%s: Cannot open", shown.c_str());
  // The path is opened from the top of the tree, so a directory on the way could have been replaced since
  // the walk: the file must be the one the walk examined, whose mode and owner its record holds.
  struct stat status;
  if (fstat(source.Get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_dev != entry.device ||
      status.st_ino != entry.inode)
    Fail("%s: Changed while the repository was being made", shown.c_str());
  if (static_cast<uint64_t>(status.st_size) >= kBufferSize)
    posix_fadvise(source.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);

  CControlSumMD5 sum;
  std::optional<CControlSumSHA256> signedSum;
  if (sha256)
    signedSum.emplace();
  std::unique_ptr<CRepositoryFile> temporary;
  size_t filled = 0;
  uint64_t total = 0;
  for (;;) {
    if (filled == buffer.size()) {
      if (!temporary)
        temporary = std::make_unique<CRepositoryFile>(directories.repo, directories.shownRepo, "content");
      temporary->Write(buffer.data(), filled);
      filled = 0;
    }
    const size_t wanted = buffer.size() - filled;
    ssize_t got = ReadRetrying(source.Get(), buffer.data() + filled, wanted);
    if (got < 0)
      FailErrno(errno, "%s: Cannot read", shown.c_str());
    if (got == 0)
      break;
    sum.Update(buffer.data() + filled, static_cast<size_t>(got));
    if (signedSum)
      signedSum->Update(buffer.data() + filled, static_cast<size_t>(got));
    filled += static_cast<size_t>(got);
    total += static_cast<uint64_t>(got);
    // A short read that reaches the length fstat gave is the end: one more read would only return 0.
    if (static_cast<size_t>(got) < wanted && total >= static_cast<uint64_t>(status.st_size))
      break;
  }
  progress.Advance(1, total);

  std::string name = sum.HexDigest();
  if (signedSum)
    *sha256 = signedSum->HexDigest();
  // Content stored under its control sum is the same content, whether an earlier run or a duplicate in this
  // one stored it; a file of another length under that name is damaged and replaced.
  if (ContentPresent(directories.repo, name, total))
    return name;
  if (!temporary)
    temporary = std::make_unique<CRepositoryFile>(directories.repo, directories.shownRepo, "content");
  temporary->Write(buffer.data(), filled);
  temporary->Rename(name, directories.shownRepo + name);
  return name;
}

/// Work on the record of one index with a buffer of the thread's own.
using IndexWork = std::function<void(size_t index, std::vector<unsigned char>& buffer)>;

/// What the tasks of one RunInParallel share; a task holds a pointer to it and its index, which a
/// std::function keeps without an allocation of its own.
class CParallelRun {
 public:
  CParallelRun(const IndexWork& work, size_t count) : work(work), failedIndex(count) {}

  /// Runs work for index unless an earlier task failed; a failure is kept when its index is the earliest.
  void Run(size_t index) {
    if (Stopped())
      return;
    // One buffer per thread, kept for the whole process: allocating one per file costs more than the
    // small files it holds.
    thread_local std::vector<unsigned char> buffer(kBufferSize);
    try {
      work(index, buffer);
    } catch (const std::exception& error) {
      std::lock_guard<std::mutex> hold(failureLock);
      // Indexes start in order, so every earlier one has started: the earliest failure is the one a run on
      // one thread would have reported.
      if (index < failedIndex) {
        failedIndex = index;
        failure = error.what();
      }
      stop.store(true, std::memory_order_relaxed);
    }
  }
  /// True once a task has failed.
  bool Stopped() const { return stop.load(std::memory_order_relaxed); }
  /// Throws the failure kept, if any; once no task runs.
  void ThrowFailure() const {
    if (stop.load(std::memory_order_relaxed))
      throw RunError(failure);
  }

 private:
  const IndexWork& work;
  std::atomic<bool> stop{false};
  std::mutex failureLock;
  size_t failedIndex;
  std::string failure;
};

/// Runs work(index, buffer) for every index below count on up to jobs threads of a pool. Which thread does
/// what varies; the results go to slots by index, so nothing that follows depends on it. After the first
/// failure no further index starts; the failure of the earliest index is thrown once every task has ended.
void RunInParallel(size_t count, unsigned jobs, const IndexWork& work) {
  CParallelRun run(work, count);
  {
    // One job needs no thread: a pool without any runs each task as it is submitted.
    const size_t threads = std::min<size_t>(jobs, count);
    CWorkerPool pool(threads > 1 ? static_cast<unsigned>(threads) : 0);
    for (size_t index = 0; index < count && !run.Stopped(); ++index)
      pool.Submit([&run, index] { run.Run(index); });
  }  // the pool has run every task submitted
  run.ThrowFailure();
}

/// Refuses a name that would not stay one token of a record.
void CheckRecordName(const char* kind, const std::string& name, const std::string& shown) {
  if (IsVerbatimToken(name))
    return;
  if (shown.empty())
    Fail("Cannot write %s name '%s' in a table: it holds a blank or control byte", kind, name.c_str());
  Fail("%s: Cannot write %s name '%s' in a table: it holds a blank or control byte", shown.c_str(), kind,
       name.c_str());
}

/// What a type of entry that no record can describe is called in the message that refuses it.
const char* SpecialFileKind(uint32_t mode) {
  if (S_ISFIFO(mode))
    return "named pipe";
  if (S_ISSOCK(mode))
    return "socket";
  if (S_ISCHR(mode))
    return "character device";
  if (S_ISBLK(mode))
    return "block device";
  return "file of unknown type";
}

/// Refuses a repository directory inside the staged tree (or the tree itself): the walk would read the
/// repository while it is written. Compares the directories by device and inode, so that no spelling of
/// the paths (links, "..", bind mounts of the same directory) hides it.
void CheckRepositoryOutside(const struct stat& stage, const std::string& stagedir, const std::string& repodir) {
  // A repository that does not exist yet will be made in its parent.
  std::string start = repodir;
  auto directory = std::make_unique<CDescriptor>(open(start.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory->Valid() && errno == ENOENT) {
    std::string trimmed = repodir;
    while (trimmed.size() > 1 && trimmed.back() == '/')
      trimmed.pop_back();
    size_t slash = trimmed.rfind('/');
    start = slash == std::string::npos ? "." : slash == 0 ? "/" : trimmed.substr(0, slash);
    directory = std::make_unique<CDescriptor>(open(start.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  if (!directory->Valid())
    FailErrno(errno, "%s: Cannot open", start.c_str());
  struct stat status;
  if (fstat(directory->Get(), &status) != 0)
    FailErrno(errno, "%s: Cannot stat", start.c_str());
  for (;;) {
    if (status.st_dev == stage.st_dev && status.st_ino == stage.st_ino)
      Fail("%s: Cannot make a repository inside the staged tree %s", repodir.c_str(), stagedir.c_str());
    auto parent = std::make_unique<CDescriptor>(openat(directory->Get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat parentStatus;
    // A parent that cannot be searched ends the search: the walk could not come down through it either.
    if (!parent->Valid() || fstat(parent->Get(), &parentStatus) != 0)
      return;
    if (parentStatus.st_dev == status.st_dev && parentStatus.st_ino == status.st_ino)
      return;  // the root
    directory = std::move(parent);
    status = parentStatus;
  }
}

/// Opens the repository directory, making it (one level) when it does not exist; returns the descriptor.
int OpenRepository(const std::string& repodir) {
  if (mkdir(repodir.c_str(), 0755) != 0 && errno != EEXIST)
    FailErrno(errno, "mkdir(%s)", repodir.c_str());
  int repo = open(repodir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (repo < 0)
    FailErrno(errno, "%s: Cannot open", repodir.c_str());
  return repo;
}

/// Turns the walk's entries into records, all but the file records' source and digest, refusing what
/// a table cannot describe.
class CRecordMaker {
 public:
  CRecordMaker(const CreateOptions& options, std::optional<int64_t> clamp, const std::string& shownStage)
      : options(options), clamp(clamp), shownStage(shownStage) {}

  TableEntry Make(const StagedEntry& staged) {
    const std::string shown = shownStage + staged.path;
    TableEntry entry;
    if (S_ISDIR(staged.mode)) {
      entry.kind = EntryKind::Dir;
      entry.dirMode = staged.mode & 07777;
      entry.keepExisting = Kept(staged.path);
    } else if (S_ISREG(staged.mode)) {
      entry.kind = EntryKind::File;
      entry.file.mode = staged.mode;
      entry.file.keepLocalChanges = Kept(staged.path);
    } else if (S_ISLNK(staged.mode)) {
      entry.kind = EntryKind::Symlink;
      entry.target = staged.target;
    } else {
      Fail("%s: Cannot put a %s in a repository", shown.c_str(), SpecialFileKind(staged.mode));
    }
    entry.name = staged.path;
    entry.owner = options.owner.empty() ? UserName(staged.user, shown) : options.owner;
    entry.group = options.group.empty() ? GroupName(staged.group, shown) : options.group;
    entry.mtime = clamp && staged.mtime > *clamp ? *clamp : staged.mtime;
    return entry;
  }

 private:
  bool Kept(const std::string& path) const {
    for (const std::string& pattern : options.keepPatterns)
      if (fnmatch(pattern.c_str(), path.c_str(), FNM_PATHNAME) == 0)
        return true;
    return false;
  }

  std::string UserName(uid_t id, const std::string& shown) {
    std::optional<std::string> name = ids.UserName(id);
    if (!name)
      Fail("%s: Cannot find a name for user id %u; give one with --owner", shown.c_str(), static_cast<unsigned>(id));
    CheckRecordName("user", *name, shown);
    return *name;
  }

  std::string GroupName(gid_t id, const std::string& shown) {
    std::optional<std::string> name = ids.GroupName(id);
    if (!name)
      Fail("%s: Cannot find a name for group id %u; give one with --group", shown.c_str(),
           static_cast<unsigned>(id));
    CheckRecordName("group", *name, shown);
    return *name;
  }

  const CreateOptions& options;
  std::optional<int64_t> clamp;
  std::string shownStage;
  CIdCache ids;
};

/// Which contents a run stores: one per file, except that hard links share the content of the first.
struct ContentPlan {
  std::vector<size_t> entries;  ///< the walk's entries whose content is stored, in table order
  std::vector<size_t> of;       ///< for the walk's entry of each file record: its index in entries
};

ContentPlan PlanContent(const std::vector<StagedEntry>& staged, const std::vector<TableEntry>& records) {
  ContentPlan plan;
  plan.of.resize(staged.size());
  std::map<std::pair<dev_t, ino_t>, size_t> hardLinks;
  for (size_t i = 0; i < staged.size(); ++i) {
    if (records[i].kind != EntryKind::File)
      continue;
    if (staged[i].links > 1) {
      auto inserted = hardLinks.emplace(std::make_pair(staged[i].device, staged[i].inode), plan.entries.size());
      if (!inserted.second) {
        plan.of[i] = inserted.first->second;
        continue;
      }
    }
    plan.of[i] = plan.entries.size();
    plan.entries.push_back(i);
  }
  return plan;
}

/// The whole table: the comment, the table record, the records with the digests of their content, end.
std::string FormatTable(const CreateOptions& options, std::vector<TableEntry>& records, const ContentPlan& plan,
                        const std::vector<std::string>& digests) {
  std::string table = std::string(kCreatedTableComment) + "\n";
  TableEntry tableRecord;
  tableRecord.kind = EntryKind::Table;
  tableRecord.name = "files.txt";
  tableRecord.owner = options.owner.empty() ? "root" : options.owner;
  tableRecord.group = options.group.empty() ? "root" : options.group;
  tableRecord.file.mode = 0644;
  table += FormatTableRecord(tableRecord) + "\n";
  for (size_t i = 0; i < records.size(); ++i) {
    TableEntry& record = records[i];
    if (record.kind == EntryKind::File) {
      record.file.source = digests[plan.of[i]];
      record.file.digest = record.file.source;
    }
    table += FormatRecord(record) + "\n";
  }
  table += "end\n";
  return table;
}

/// Writes text as the repository's file name: a temporary file, flushed, renamed over the old one, so that a
/// crash leaves either the old file or the whole new one.
void WriteRepositoryFile(const Directories& directories, const char* name, const std::string& text) {
  CRepositoryFile temporary(directories.repo, directories.shownRepo, name);
  temporary.Write(text.data(), text.size());
  temporary.Sync();
  temporary.Rename(name, directories.shownRepo + name);
}

/// Flushes the repository directory, so that the renames made in it so far reach the disk before later ones.
void SyncRepository(const Directories& directories) {
  if (fsync(directories.repo) != 0)
    FailErrno(errno, "fsync(%s)", directories.shownRepo.c_str());
}

/// Writes the signed release beside the table that it covers: SHA256SUMS with the SHA-256 of the table's bytes
/// and of every content file, and its signature. contentSums holds the SHA-256 of each content digests names.
void WriteRelease(const Directories& directories, const CMinisignSecretKey& key, const ReleaseStatement& release,
                  const std::string& table, const std::vector<std::string>& digests,
                  const std::vector<std::string>& contentSums) {
  Sha256Sums sums;
  CControlSumSHA256 tableSum;
  tableSum.Update(table.data(), table.size());
  sums["files.txt"] = tableSum.HexDigest();
  for (size_t i = 0; i < digests.size(); ++i)
    sums[digests[i]] = contentSums[i];
  const std::string text = FormatSha256Sums(sums);
  const std::string signature = key.Sign(text, FormatTrustedComment(release));
  WriteRepositoryFile(directories, kSha256SumsName, text);
  WriteRepositoryFile(directories, kSignatureName, signature);
  // Both are on disk before the table that they name replaces the old one.
  SyncRepository(directories);
}

/// Removes the release files that an earlier signed run left: they would claim to sign a table that they do not
/// cover. The table's rename flushes the directory after.
void RemoveRelease(const Directories& directories) {
  for (const char* name : {kSignatureName, kSha256SumsName})
    if (unlinkat(directories.repo, name, 0) != 0 && errno != ENOENT)
      FailErrno(errno, "unlink(%s%s)", directories.shownRepo.c_str(), name);
}

/// Writes text as the repository's files.txt, the last file of a run, and flushes the directory after it.
void WriteTable(const Directories& directories, const std::string& text) {
  WriteRepositoryFile(directories, "files.txt", text);
  SyncRepository(directories);
}

// The longest passphrase accepted: far more than anybody types.
constexpr size_t kPassphraseLimit = 1024;

// The signal that interrupted the prompt, 0 while none has.
volatile sig_atomic_t promptSignal = 0;

extern "C" void NotePromptSignal(int signal) {
  promptSignal = signal;
}

/// For its lifetime, SIGINT, SIGTERM and SIGHUP interrupt a read instead of ending the process, so that the
/// terminal's echo is put back by unwinding; a signal ignored from the start stays ignored, as under nohup.
class CPromptSignals {
 public:
  CPromptSignals() {
    promptSignal = 0;
    struct sigaction note {};
    note.sa_handler = NotePromptSignal;
    sigemptyset(&note.sa_mask);
    note.sa_flags = 0;  // no SA_RESTART: the read must return
    for (size_t i = 0; i < kCount; ++i) {
      installed[i] = sigaction(kSignals[i], nullptr, &previous[i]) == 0 && previous[i].sa_handler != SIG_IGN &&
                     sigaction(kSignals[i], &note, nullptr) == 0;
    }
  }
  ~CPromptSignals() {
    for (size_t i = 0; i < kCount; ++i)
      if (installed[i])
        sigaction(kSignals[i], &previous[i], nullptr);
  }
  CPromptSignals(const CPromptSignals&) = delete;
  CPromptSignals& operator=(const CPromptSignals&) = delete;

 private:
  static constexpr size_t kCount = 3;
  static constexpr int kSignals[kCount] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction previous[kCount] {};
  bool installed[kCount] = {};
};

/// For its lifetime, the terminal does not echo what is typed, but for the line end.
class CTerminalEchoOff {
 public:
  explicit CTerminalEchoOff(int terminal) : terminal(terminal) {
    if (tcgetattr(terminal, &saved) != 0)
      FailErrno(errno, "tcgetattr(/dev/tty)");
    struct termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    // TCSAFLUSH: what was typed before the prompt, and echoed, is not taken for the passphrase.
    if (tcsetattr(terminal, TCSAFLUSH, &quiet) != 0)
      FailErrno(errno, "tcsetattr(/dev/tty)");
  }
  ~CTerminalEchoOff() { tcsetattr(terminal, TCSANOW, &saved); }
  CTerminalEchoOff(const CTerminalEchoOff&) = delete;
  CTerminalEchoOff& operator=(const CTerminalEchoOff&) = delete;

 private:
  int terminal;
  struct termios saved {};
};

const char* PromptSignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    default:
      return "SIGHUP";
  }
}

/// Reads the first line of descriptor into passphrase, a byte at a time so that nothing after it is consumed, and
/// returns its length without "\n" or "\r\n"; shown names the source in messages.
size_t ReadPassphraseLine(int descriptor, CSecretBytes& passphrase, const std::string& shown) {
  // Room is left for "\r\n" after the longest passphrase.
  const size_t limit = passphrase.Size() - 2;
  size_t length = 0;
  for (;;) {
    if (length == passphrase.Size())
      Fail("%s: The passphrase is longer than %zu bytes", shown.c_str(), limit);
    // Checked before each read as well: a signal that came between two reads interrupted none.
    if (promptSignal != 0)
      Fail("Interrupted by %s", PromptSignalName(promptSignal));
    ssize_t got = read(descriptor, passphrase.Data() + length, 1);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      FailErrno(errno, "%s: Cannot read", shown.c_str());
    if (got == 0 || passphrase.Data()[length] == '\n')
      break;
    ++length;
  }
  if (length > 0 && passphrase.Data()[length - 1] == '\r')
    --length;
  if (length > limit)
    Fail("%s: The passphrase is longer than %zu bytes", shown.c_str(), limit);
  return length;
}

/// Asks for the passphrase of the encrypted key on the process's terminal, never echoing it.
size_t AskPassphrase(const std::string& key, CSecretBytes& passphrase) {
  CDescriptor terminal(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!terminal.Valid())
    FailErrno(errno,
              "%s: Cannot ask for the passphrase of this encrypted key on /dev/tty; give it with --passphrase-file",
              key.c_str());
  CPromptSignals signals;
  CTerminalEchoOff quiet(terminal.Get());
  const std::string prompt = "Passphrase for " + key + ": ";
  if (!WriteAll(terminal.Get(), prompt.data(), prompt.size()))
    FailErrno(errno, "write(/dev/tty)");
  try {
    return ReadPassphraseLine(terminal.Get(), passphrase, "/dev/tty");
  } catch (const RunError&) {
    // The line end that an interrupted line did not echo: the error line starts on a line of its own.
    WriteAll(terminal.Get(), "\n", 1);
    throw;
  }
}

}  // namespace

std::optional<int64_t> ParseSourceDateEpoch(const char* text) {
  if (!text || !*text)
    return std::nullopt;
  int64_t value = 0;
  for (const char* digit = text; *digit; ++digit) {
    if (*digit < '0' || *digit > '9' || value > (INT64_MAX - 9) / 10)
      Fail("SOURCE_DATE_EPOCH: Cannot read %s as seconds since 1970", text);
    value = value * 10 + (*digit - '0');
  }
  return value;
}

std::unique_ptr<CMinisignSecretKey> LoadSigningKey(const CreateOptions& options) {
  if (options.signKey.empty())
    return nullptr;
  // The key file is read first: a missing or damaged key fails before anybody is asked for its passphrase.
  const bool encrypted = MinisignSecretKeyIsEncrypted(options.signKey);
  CSecretBytes passphrase(kPassphraseLimit + 2);
  size_t length = 0;
  if (!options.passphraseFile.empty()) {
    // Read even for a key without encryption: a file named that cannot be read is a mistake all the same.
    CDescriptor file(open(options.passphraseFile.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (!file.Valid())
      FailErrno(errno, "%s: Cannot open", options.passphraseFile.c_str());
    length = ReadPassphraseLine(file.Get(), passphrase, options.passphraseFile);
  } else if (encrypted) {
    length = AskPassphrase(options.signKey, passphrase);
  }
  return std::make_unique<CMinisignSecretKey>(
      options.signKey, std::string_view(reinterpret_cast<const char*>(passphrase.Data()), length));
}

int RunCreate(const CreateOptions& options, const CMinisignSecretKey* key) {
  // The key before anything else: a wrong passphrase fails before the tree is even read.
  std::unique_ptr<CMinisignSecretKey> loaded;
  if (!key && !options.signKey.empty()) {
    loaded = LoadSigningKey(options);
    key = loaded.get();
  }
  const std::optional<int64_t> clamp = ParseSourceDateEpoch(getenv("SOURCE_DATE_EPOCH"));
  if (!options.owner.empty())
    CheckRecordName("user", options.owner, "");
  if (!options.group.empty())
    CheckRecordName("group", options.group, "");

  Directories directories;
  directories.shownStage = WithTrailingSlash(options.stagedir);
  directories.shownRepo = WithTrailingSlash(options.repodir);
  CDescriptor stage(open(options.stagedir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!stage.Valid())
    FailErrno(errno, "%s: Cannot open", options.stagedir.c_str());
  struct stat stageStatus;
  if (fstat(stage.Get(), &stageStatus) != 0)
    FailErrno(errno, "%s: Cannot stat", options.stagedir.c_str());
  CheckRepositoryOutside(stageStatus, options.stagedir, options.repodir);

  // The whole tree is examined, and every record made, before the first byte is written: a tree that
  // cannot be represented leaves the repository as it was.
  std::vector<StagedEntry> staged;
  WalkTree(stage.Get(), directories.shownStage, staged);
  // The table is installed under its name in every base directory: a staged entry of that name would be
  // overwritten there, or (a directory) would keep the table from being installed at all.
  // Beside the table, runs keep their fingerprints and what they are installing, under names of their own.
  for (const StagedEntry& entry : staged) {
    if (entry.path == "files.txt")
      Fail("%s%s: Cannot put this in a repository: the table takes its name", directories.shownStage.c_str(),
           entry.path.c_str());
    if (entry.path == "files.txt.fingerprints" || entry.path == "files.txt.installing" ||
        entry.path == "files.txt.release" || entry.path == "files.txt.sha256sums" || entry.path == kDownloadAreaName)
      Fail("%s%s: Cannot put this in a repository: runs keep their records under its name",
           directories.shownStage.c_str(), entry.path.c_str());
  }
  CRecordMaker maker(options, clamp, directories.shownStage);
  std::vector<TableEntry> records;
  records.reserve(staged.size());
  for (const StagedEntry& entry : staged)
    records.push_back(maker.Make(entry));
  const ContentPlan plan = PlanContent(staged, records);

  CDescriptor repo(OpenRepository(options.repodir));
  directories.stage = stage.Get();
  directories.repo = repo.Get();

  CProgress progress(options.progress);
  progress.SetTotal(records.size());
  progress.Advance(records.size() - plan.entries.size(), 0);
  std::vector<std::string> digests(plan.entries.size());
  // The SHA-256 of each content is taken from the bytes as they are stored; content that an earlier run stored
  // is the same content, by its control sum and length, as it is for the table.
  std::vector<std::string> contentSums(key ? plan.entries.size() : 0);
  RunInParallel(plan.entries.size(), options.jobs ? options.jobs : DefaultJobs(),
                [&](size_t index, std::vector<unsigned char>& buffer) {
                  digests[index] = StoreContent(directories, staged[plan.entries[index]], buffer, progress,
                                                key ? &contentSums[index] : nullptr);
                });
  const std::string table = FormatTable(options, records, plan, digests);

  // The content must be on disk before a table that names it.
  if (syncfs(repo.Get()) != 0)
    FailErrno(errno, "syncfs(%s)", options.repodir.c_str());
  // The release files before the table: until the new table is in place, SHA256SUMS gives another digest for
  // files.txt than the one it has, so a repository that a failure leaves half made never verifies.
  if (key)
    WriteRelease(directories, *key, options.release, table, digests, contentSums);
  else
    RemoveRelease(directories);
  WriteTable(directories, table);
  progress.Finish();
  return 0;
}
