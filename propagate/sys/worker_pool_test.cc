#include "sys/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

/// Tasks that wait until released, and the order in which the workers began them.
class CGates {
 public:
  std::function<void()> Task(const std::string& name) {
    return [this, name] {
      std::unique_lock<std::mutex> lock(mutex);
      begun.push_back(name);
      changed.notify_all();
      changed.wait(lock, [&] { return released.count(name) != 0; });
    };
  }
  void Release(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex);
    released.insert(name);
    changed.notify_all();
  }
  void WaitBegun(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return begun.size() >= count; });
  }
  std::vector<std::string> Begun() {
    std::lock_guard<std::mutex> lock(mutex);
    return begun;
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> begun;
  std::set<std::string> released;
};

}  // namespace

TEST(WorkerPool, AFreeWorkerTakesAGroupThatNobodyWorksOn) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, size_t>> queued;  // submitted while both workers are busy
    std::string expected;                                // begun by the worker freed from group 2
  } cases[] = {
      {"the oldest task of an idle group, past the busy group's", {{"a2", 1}, {"a3", 1}, {"b1", 3}, {"b2", 3}}, "b1"},
      {"the oldest task when every group queued is busy", {{"a2", 1}, {"a3", 1}}, "a2"},
      {"the group it just left, when nobody else is in it", {{"a2", 1}, {"x2", 2}, {"b1", 3}}, "x2"},
      {"the oldest task when nothing is busy", {{"c1", 4}}, "c1"},
  };
  for (const Case& c : cases) {
    CGates gates;
    {
      CWorkerPool pool(2);
      ASSERT_EQ(2u, pool.Size());
      pool.Submit(gates.Task("a1"), 1);
      pool.Submit(gates.Task("x1"), 2);
      gates.WaitBegun(2);
      for (const auto& [name, group] : c.queued)
        pool.Submit(gates.Task(name), group);
      gates.Release("x1");
      gates.WaitBegun(3);
      EXPECT_EQ(c.expected, gates.Begun()[2]) << c.what;
      gates.Release("a1");
      for (const auto& [name, group] : c.queued)
        gates.Release(name);
    }  // the pool runs every task still queued before it goes
    EXPECT_EQ(2 + c.queued.size(), gates.Begun().size()) << c.what;
  }
}

TEST(WorkerPool, RunsEveryTaskOnce) {
  std::atomic<unsigned> sum{0};
  {
    CWorkerPool pool(4);
    for (unsigned i = 1; i <= 1000; ++i)
      pool.Submit([&sum, i] { sum += i; }, i % 7);
  }
  EXPECT_EQ(500500u, sum.load());
}

TEST(WorkerPool, WithoutWorkersSubmitRunsTheTaskAtOnce) {
  struct Case {
    unsigned threads;
    bool onCaller;  // the task ran on the submitting thread, before Submit returned
  } cases[] = {{0, true}, {1, false}, {3, false}};
  for (const Case& c : cases) {
    std::atomic<bool> ran{false};
    std::thread::id where;
    {
      CWorkerPool pool(c.threads);
      EXPECT_EQ(c.threads, pool.Size());
      pool.Submit([&] {
        where = std::this_thread::get_id();
        ran = true;
      });
      if (c.onCaller) {
        EXPECT_TRUE(ran.load()) << c.threads;
      }
    }
    EXPECT_TRUE(ran.load()) << c.threads;
    EXPECT_EQ(c.onCaller, where == std::this_thread::get_id()) << c.threads;
  }
}

TEST(WorkerPool, DefaultJobsIsBetweenOneAndSixteen) {
  unsigned jobs = DefaultJobs();
  EXPECT_GE(jobs, 1u);
  EXPECT_LE(jobs, 16u);
}
