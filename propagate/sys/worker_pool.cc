#include "sys/worker_pool.h"

#include <sched.h>

#include <algorithm>
#include <system_error>

namespace {

// Looking further than this many runs for an idle group costs more under the lock than it can save.
constexpr size_t kRunsSearched = 64;
// Tasks that Queue lets wait before it wakes a worker: a wake-up costs more than a short task.
constexpr size_t kWakeBatch = 16;

}  // namespace

CWorkerPool::CWorkerPool(unsigned count) {
  threads.reserve(count);
  // A process limit may refuse threads: the pool then works with those it has, or on the caller's thread.
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

void CWorkerPool::Submit(std::function<void()> task, size_t group) {
  if (threads.empty()) {
    task();
    return;
  }
  Add(std::move(task), group, 1);
}

void CWorkerPool::Queue(std::function<void()> task, size_t group) {
  if (threads.empty()) {
    task();
    return;
  }
  Add(std::move(task), group, kWakeBatch);
}

void CWorkerPool::Add(std::function<void()> task, size_t group, size_t batch) {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (runs.empty() || runs.back().group != group)
      runs.push_back(Run{group, {}});
    runs.back().tasks.push_back(std::move(task));
    ++queued;
    wake = idle != 0 && queued >= batch;
  }
  // A busy worker takes the task when it is done: a wake-up, a system call, only for an idle one.
  if (wake)
    ready.notify_one();
}

void CWorkerPool::Flush() {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex);
    wake = idle != 0 && queued != 0;
  }
  if (wake)
    ready.notify_all();
}

// Two workers in one directory queue behind each other for its lock, at every file they create and every
// rename; in different directories they do not. So a worker goes to the oldest group that nobody works
// on, and shares a group only when there is no other.
std::function<void()> CWorkerPool::TakeTask(size_t& group) {
  auto chosen = runs.begin();
  size_t searched = 0;
  for (auto run = runs.begin(); run != runs.end() && searched < kRunsSearched; ++run, ++searched) {
    if (std::find(busyGroups.begin(), busyGroups.end(), run->group) == busyGroups.end()) {
      chosen = run;
      break;
    }
  }
  group = chosen->group;
  std::function<void()> task = std::move(chosen->tasks.front());
  chosen->tasks.pop_front();
  --queued;
  if (chosen->tasks.empty())
    runs.erase(chosen);
  busyGroups.push_back(group);
  return task;
}

void CWorkerPool::Work() {
  bool working = false;
  size_t group = 0;
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(mutex);
      // The group of the task just run is let go under the lock that is taken for the next one anyway.
      if (working)
        busyGroups.erase(std::find(busyGroups.begin(), busyGroups.end(), group));
      ++idle;
      ready.wait(lock, [this] { return stopping || !runs.empty(); });
      --idle;
      if (runs.empty())
        return;  // stopping, and nothing left to run
      task = TakeTask(group);
      working = true;
    }
    task();
  }
}

unsigned DefaultJobs() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0)
    return 1;
  int count = CPU_COUNT(&set);
  if (count < 1)
    return 1;
  return count > 16 ? 16u : static_cast<unsigned>(count);
}
