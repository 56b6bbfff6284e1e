#include "install/record_scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "sys/run_error.h"
#include "sys/test_support.h"

TEST(PathsInProgress, Overlaps) {
  CPathsInProgress paths;
  paths.Add("etc/app.conf");
  paths.Add("bin");
  paths.Add("share/doc/a");
  struct Case {
    const char* name;
    bool overlaps;
  } cases[] = {
      {"etc/app.conf", true},        // the same path
      {"etc", true},                 // above a record in progress
      {"etc/app.conf/x", true},      // below one
      {"bin/tool", true},            // below a record in progress
      {"share", true},               // two levels above
      {"share/doc", true},
      {"etc/app.conf.d", false},     // a sibling that only shares a prefix of bytes
      {"etc/app", false},
      {"bi", false},
      {"bin2", false},
      {"binary/x", false},
      {"share/docs/a", false},
      {"", true},                    // the base directory itself lies above every path
      {"./etc//app.conf", true},     // other spellings of the same paths
      {"bin/", true},
      {"share//doc/./a/b", true},
      {"./bin2", false},
      {"x/../etc", true},            // ".." may lead anywhere
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.overlaps, paths.Overlaps(c.name)) << c.name;
  paths.Add("bin");
  paths.Remove("bin");
  EXPECT_TRUE(paths.Overlaps("bin/tool")) << "one of two records of the same name is still in progress";
  paths.Remove("bin");
  EXPECT_FALSE(paths.Overlaps("bin/tool"));
  // A record whose name holds ".." is in the way of every other while it is in progress.
  paths.Add("a/../b");
  EXPECT_TRUE(paths.Overlaps("unrelated"));
  paths.Remove("a/../b");
  EXPECT_FALSE(paths.Overlaps("unrelated"));
}

namespace {

RecordResult Done(const std::string& name) {
  RecordResult result;
  result.actions.push_back({ActionKind::Copy, name});
  return result;
}

RecordResult Failing(const std::string& message) {
  RecordResult result;
  try {
    Fail("%s", message.c_str());
  } catch (...) {
    result.failure = std::current_exception();
  }
  return result;
}

}  // namespace

TEST(RecordScheduler, ResultsComeInOrderOfStartingWhateverTheTiming) {
  for (unsigned jobs : {1u, 2u, 4u}) {
    CRecordScheduler scheduler(jobs);
    std::vector<std::string> seen;
    auto consume = [&](RecordResult& result) { seen.push_back(result.actions.at(0).name); };
    for (int i = 0; i < 40; ++i) {
      std::string name = "f" + std::to_string(i);
      // Early records take longest, so that later ones finish first when several run at once.
      scheduler.Start(name, [name, i] {
        std::this_thread::sleep_for(std::chrono::microseconds(i % 4 == 0 ? 2000 : 10));
        return Done(name);
      });
      if (i == 20)
        scheduler.RunHere("dir", [] { return Done("dir"); });
      scheduler.Drain(consume);
    }
    scheduler.WaitAll();
    scheduler.Drain(consume);
    ASSERT_EQ(41u, seen.size()) << jobs;
    for (int i = 0, at = 0; i < 40; ++i, ++at) {
      if (i == 21) {
        EXPECT_EQ("dir", seen[at++]);
      }
      EXPECT_EQ("f" + std::to_string(i), seen[at]) << jobs;
    }
  }
}

TEST(RecordScheduler, OverlappingRecordsNeverRunAtOnceAndJobsBoundTheRest) {
  CRecordScheduler scheduler(4);
  std::atomic<int> sameName{0}, running{0}, mostSameName{0}, mostRunning{0};
  auto note = [](std::atomic<int>& counter, std::atomic<int>& most) {
    int now = ++counter;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
  };
  for (int i = 0; i < 60; ++i) {
    std::string name = i % 3 == 0 ? "dir/same" : "other" + std::to_string(i);
    scheduler.Start(name, [&, shared = i % 3 == 0] {
      note(running, mostRunning);
      if (shared)
        note(sameName, mostSameName);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
      if (shared)
        --sameName;
      --running;
      return RecordResult{};
    });
    if (i == 30) {
      // A directory record waits for every record below it.
      scheduler.RunHere("dir", [&] {
        EXPECT_EQ(0, sameName.load());
        return RecordResult{};
      });
    }
  }
  scheduler.WaitAll();
  EXPECT_EQ(1, mostSameName.load());
  EXPECT_LE(mostRunning.load(), 4);
  EXPECT_GE(mostRunning.load(), 2) << "independent records should have run at once";
}

TEST(RecordScheduler, TheEarliestFailureInOrderIsReported) {
  for (unsigned jobs : {1u, 3u}) {
    CRecordScheduler scheduler(jobs);
    std::vector<std::string> seen;
    auto consume = [&](RecordResult& result) { seen.push_back(result.actions.at(0).name); };
    scheduler.Start("a", [] { return Done("a"); });
    // The earlier failure finishes last; the later one first.
    scheduler.Start("b", [] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return Failing("b failed");
    });
    scheduler.Start("c", [] { return Failing("c failed"); });
    EXPECT_EQ("b failed", ErrorOf([&] {
                scheduler.WaitAll();
                scheduler.Drain(consume);
              })) << jobs;
    EXPECT_TRUE(scheduler.Failed());
    EXPECT_EQ(std::vector<std::string>{"a"}, seen) << "no line of a record after the failure";
  }
}

TEST(RecordScheduler, NoRecordStartsOnceOneHasFailed) {
  for (unsigned jobs : {1u, 2u}) {
    CRecordScheduler scheduler(jobs);
    scheduler.Start("k", [] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return Failing("k failed");
    });
    // Both wait for "k", which fails meanwhile: neither may run then.
    bool ran = false;
    EXPECT_FALSE(scheduler.RunHere("k", [&] {
      ran = true;
      return RecordResult{};
    }));
    EXPECT_FALSE(scheduler.Start("k/x", [&] {
      ran = true;
      return RecordResult{};
    }));
    EXPECT_FALSE(ran) << jobs;
    EXPECT_EQ("k failed", ErrorOf([&] { scheduler.Drain([](RecordResult&) {}); }));
  }
}

TEST(RecordScheduler, FailuresOfTheOwningThreadTakeTheirPlace) {
  CRecordScheduler scheduler(2);
  scheduler.Start("a", [] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return Failing("a failed");
  });
  try {
    Fail("line 3 is malformed");
  } catch (...) {
    scheduler.AddFailure(std::current_exception());
  }
  scheduler.RunHere("z", [] () -> RecordResult { Fail("z failed"); });
  EXPECT_EQ("a failed", ErrorOf([&] {
              scheduler.WaitAll();
              scheduler.Drain([](RecordResult&) {});
            }));
}

TEST(RecordScheduler, WhatLaterRecordsDidIsHandedOutBeforeTheFailure) {
  CRecordScheduler scheduler(2);
  scheduler.Start("a", [] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return Failing("a failed");
  });
  scheduler.Start("b", [] { return Done("b"); });
  std::vector<std::string> seen;
  EXPECT_EQ("a failed", ErrorOf([&] {
              scheduler.WaitAll();
              scheduler.Drain([&](RecordResult& result) { seen.push_back(result.actions.at(0).name); });
            }));
  EXPECT_EQ(std::vector<std::string>{"b"}, seen);
}
