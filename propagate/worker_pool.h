#ifndef PROPAGATE_WORKER_POOL_H_
#define PROPAGATE_WORKER_POOL_H_

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

/// A fixed set of threads that run submitted tasks, oldest first. Tasks must not throw.
class CWorkerPool {
 public:
  /// Starts threads workers, or as many as the system allows.
  explicit CWorkerPool(unsigned threads);
  /// Runs every task still queued, then joins the threads.
  ~CWorkerPool();
  CWorkerPool(const CWorkerPool&) = delete;
  CWorkerPool& operator=(const CWorkerPool&) = delete;

  /// Number of workers started.
  size_t Size() const { return threads.size(); }
  /// Queues task for the next free worker; there must be one.
  void Submit(std::function<void()> task);

 private:
  void Work();

  std::mutex mutex;
  std::condition_variable ready;
  std::deque<std::function<void()>> tasks;
  bool stopping = false;
  unsigned idle = 0;  ///< workers waiting for a task
  std::vector<std::thread> threads;
};

#endif  // PROPAGATE_WORKER_POOL_H_
