#ifndef PROPAGATE_SYS_WORKER_POOL_H_
#define PROPAGATE_SYS_WORKER_POOL_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

/// A fixed set of threads that run submitted tasks. Each task belongs to a group (the records of one
/// directory, say); a free worker takes the oldest task of a group that no other worker is busy with, or
/// the oldest task when every group queued is busy. Tasks must not throw. A pool without workers (threads
/// 0, or the system allowed none) runs each task on the submitting thread, before Submit returns.
class CWorkerPool {
 public:
  /// Starts threads workers, or as many as the system allows, possibly none.
  explicit CWorkerPool(unsigned threads);
  /// Runs every task still queued, then joins the threads.
  ~CWorkerPool();
  CWorkerPool(const CWorkerPool&) = delete;
  CWorkerPool& operator=(const CWorkerPool&) = delete;

  /// Number of workers started.
  size_t Size() const { return threads.size(); }
  /// Queues task of group for a worker, or runs it now when the pool has none.
  void Submit(std::function<void()> task, size_t group = 0);
  /// Submit that wakes an idle worker only once a batch of tasks is queued, so that a stream of short tasks
  /// does not cost a wake-up each; the caller must Flush before it waits for any of them.
  void Queue(std::function<void()> task, size_t group = 0);
  /// Wakes the idle workers when tasks are queued.
  void Flush();

 private:
  /// Tasks of one group submitted one after another, oldest first.
  struct Run {
    size_t group;
    std::deque<std::function<void()>> tasks;
  };
  void Work();
  /// Queues task, waking an idle worker once batch tasks are queued.
  void Add(std::function<void()> task, size_t group, size_t batch);
  /// Takes the task a free worker runs next; there must be one.
  std::function<void()> TakeTask(size_t& group);

  std::mutex mutex;
  std::condition_variable ready;
  std::deque<Run> runs;
  std::vector<size_t> busyGroups;  ///< the group of each task being run, once per task
  bool stopping = false;
  unsigned idle = 0;  ///< workers waiting for a task
  size_t queued = 0;  ///< tasks queued and not yet taken
  std::vector<std::thread> threads;
};

/// The number of CPUs this process may run on, at most 16; 1 when it cannot be known.
unsigned DefaultJobs();

#endif  // PROPAGATE_SYS_WORKER_POOL_H_
