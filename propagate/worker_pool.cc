#include "worker_pool.h"

#include <system_error>

CWorkerPool::CWorkerPool(unsigned count) {
  threads.reserve(count);
  // A process limit may refuse threads: the pool then works with those it has, possibly none.
  try {
    for (unsigned i = 0; i < count; ++i)
      threads.emplace_back([this] { Work(); });
  } catch (const std::system_error&) {
  }
}

CWorkerPool::~CWorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
  }
  ready.notify_all();
  for (std::thread& thread : threads)
    thread.join();
}

void CWorkerPool::Submit(std::function<void()> task) {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex);
    tasks.push_back(std::move(task));
    wake = idle != 0;
  }
  // A busy worker takes the task when it is done: a wake-up, a system call, only for an idle one.
  if (wake)
    ready.notify_one();
}

void CWorkerPool::Work() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(mutex);
      ++idle;
      ready.wait(lock, [this] { return stopping || !tasks.empty(); });
      --idle;
      if (tasks.empty())
        return;  // stopping, and nothing left to run
      task = std::move(tasks.front());
      tasks.pop_front();
    }
    task();
  }
}
