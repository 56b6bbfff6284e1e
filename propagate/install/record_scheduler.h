#ifndef PROPAGATE_INSTALL_RECORD_SCHEDULER_H_
#define PROPAGATE_INSTALL_RECORD_SCHEDULER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "install/action.h"
#include "sys/worker_pool.h"

/// What one record did: its actions in order, the bytes it copied or read, and its failure if it failed.
struct RecordResult {
  std::vector<Action> actions;
  uint64_t bytes = 0;
  std::exception_ptr failure;
};

/// The paths of one record: the names it occupies (its own, and the same path reached with the links inside
/// the base directory resolved), and the links it passes through on the way there.
struct RecordPaths {
  std::vector<std::string> occupied;
  std::vector<std::string> traversed;
};

/// Names of records in progress, with the one question the scheduler asks of them.
class CPathsInProgress {
 public:
  /// True when a record in progress has name, lies below it, or lies above it ("a" and "a/b"), however
  /// either is spelt ("a//b", "./a"); a name with a ".." component overlaps every other.
  bool Overlaps(const std::string& name) const;
  /// True when a name that paths occupies overlaps a name that a record in progress occupies or passes
  /// through, or a link that paths passes through overlaps a name that one occupies. Records that only
  /// pass through the same link do not overlap.
  bool Overlaps(const RecordPaths& paths) const;
  /// Adds one record's names.
  void Add(const RecordPaths& paths);
  /// Removes one record's names (one of each, when several records share them).
  void Remove(const RecordPaths& paths);
  /// Adds and removes a record that occupies name only.
  void Add(const std::string& name) { Add(RecordPaths{{name}, {}}); }
  void Remove(const std::string& name) { Remove(RecordPaths{{name}, {}}); }
  /// True when no record is in progress.
  bool Empty() const { return occupied.empty() && traversed.empty() && barriers == 0; }

 private:
  std::multiset<std::string> occupied;   ///< names in progress, with empty and "." components dropped
  std::multiset<std::string> traversed;  ///< links that records in progress pass through, likewise
  unsigned barriers = 0;                 ///< records in progress whose names hold ".."
};

/// Runs the records of a table, up to jobs of them at once and not always in the order they were started
/// in, and hands their results back in order of starting. Records whose names overlap never run at the same time: a later one waits for
/// the earlier. With jobs 1 every record runs on the calling thread when it is started, one after another.
/// All operations but the work itself are called from the one thread that owns the scheduler.
class CRecordScheduler {
 public:
  /// jobs: records in progress at once (at least 1).
  explicit CRecordScheduler(unsigned jobs);
  /// Waits for every record in progress.
  ~CRecordScheduler();
  CRecordScheduler(const CRecordScheduler&) = delete;
  CRecordScheduler& operator=(const CRecordScheduler&) = delete;

  /// Starts work for a record at name on a worker, once nothing in progress overlaps name and the window has
  /// room; a free worker prefers a record of a directory that no other worker is in. work must not throw:
  /// it reports a failure in its result. False, and nothing started, when a record has failed meanwhile.
  bool Start(const std::string& name, std::function<RecordResult()> work);
  /// Start for a record whose paths are known: it waits for every record in progress that they overlap.
  bool Start(RecordPaths paths, std::function<RecordResult()> work);
  /// Runs work for a record at name on this thread, once nothing in progress overlaps name; an exception
  /// from work becomes the record's failure. False, and nothing run, when a record has failed meanwhile.
  bool RunHere(const std::string& name, const std::function<RecordResult()>& work);
  /// RunHere for a record whose paths are known.
  bool RunHere(RecordPaths paths, const std::function<RecordResult()>& work);
  /// Records a failure of this thread's own (a malformed line, say) as the next record's result.
  void AddFailure(std::exception_ptr failure);
  /// True once any record has failed; no further record should be started then.
  bool Failed() const { return failed.load(); }
  /// Waits until every started record has finished.
  void WaitAll();
  /// Hands every finished result to consumer, in order of starting, up to the first one not yet finished.
  /// At a failed result, waits for every record still in progress, hands the later results that did not
  /// fail to consumer as well, and rethrows that failure: it is the failure of the earliest failing record.
  void Drain(const std::function<void(RecordResult&)>& consumer);

 private:
  struct Slot {
    RecordPaths paths;
    bool done = false;
    RecordResult result;
  };
  void Finish(std::shared_ptr<Slot> slot, RecordResult result);
  /// Waits until a record at name may start (and, when queued, for room in the window), then registers its
  /// slot; null when a record has failed meanwhile.
  std::shared_ptr<Slot> Enter(RecordPaths paths, bool queued);
  /// Waits on finished until ready holds; the thread that finishes a record wakes this one only then.
  void WaitUntil(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready);

  const unsigned jobs;
  const unsigned window;  ///< records started and not yet finished, at most
  /// What the owning thread, the only one that ever waits, waits for; null when it does not wait.
  const std::function<bool()>* awaited = nullptr;
  std::unique_ptr<CWorkerPool> pool;
  std::mutex mutex;
  std::condition_variable finished;
  CPathsInProgress inProgress;
  unsigned running = 0;
  std::deque<std::shared_ptr<Slot>> slots;
  std::atomic<bool> failed{false};
};

#endif  // PROPAGATE_INSTALL_RECORD_SCHEDULER_H_
