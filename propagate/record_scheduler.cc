#include "record_scheduler.h"

bool CPathsInProgress::Overlaps(const std::string& name) const {
  if (names.empty())
    return false;
  if (names.count(name) != 0)
    return true;
  // A record above this one: each leading part of the name up to a slash.
  for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1))
    if (names.count(name.substr(0, slash)) != 0)
      return true;
  // A record below this one sorts right after name + "/".
  std::string below = name + "/";
  auto next = names.lower_bound(below);
  return next != names.end() && next->compare(0, below.size(), below) == 0;
}

void CPathsInProgress::Remove(const std::string& name) {
  auto found = names.find(name);
  if (found != names.end())
    names.erase(found);
}

CRecordScheduler::CRecordScheduler(unsigned jobs) : jobs(jobs < 1 ? 1 : jobs) {
  if (this->jobs > 1)
    pool = std::make_unique<CWorkerPool>(this->jobs);
  // Without any worker, records run on the calling thread: slower, and otherwise the same.
  if (pool && pool->Size() == 0)
    pool.reset();
}

CRecordScheduler::~CRecordScheduler() {
  WaitAll();
  pool.reset();
}

void CRecordScheduler::Finish(const std::shared_ptr<Slot>& slot, RecordResult result) {
  if (result.failure)
    failed = true;
  {
    std::lock_guard<std::mutex> lock(mutex);
    slot->result = std::move(result);
    slot->done = true;
    inProgress.Remove(slot->name);
    --running;
  }
  finished.notify_all();
}

void CRecordScheduler::Start(const std::string& name, std::function<RecordResult()> work) {
  auto slot = std::make_shared<Slot>();
  slot->name = name;
  {
    std::unique_lock<std::mutex> lock(mutex);
    finished.wait(lock, [&] { return running < jobs && !inProgress.Overlaps(name); });
    inProgress.Add(name);
    ++running;
    slots.push_back(slot);
  }
  if (!pool) {
    Finish(slot, work());
    return;
  }
  pool->Submit([this, slot, work = std::move(work)] { Finish(slot, work()); });
}

void CRecordScheduler::RunHere(const std::string& name, const std::function<RecordResult()>& work) {
  auto slot = std::make_shared<Slot>();
  slot->name = name;
  {
    std::unique_lock<std::mutex> lock(mutex);
    finished.wait(lock, [&] { return !inProgress.Overlaps(name); });
    inProgress.Add(name);
    ++running;
    slots.push_back(slot);
  }
  RecordResult result;
  try {
    result = work();
  } catch (...) {
    result.failure = std::current_exception();
  }
  Finish(slot, std::move(result));
}

void CRecordScheduler::AddFailure(std::exception_ptr failure) {
  auto slot = std::make_shared<Slot>();
  slot->done = true;
  slot->result.failure = failure;
  failed = true;
  std::lock_guard<std::mutex> lock(mutex);
  slots.push_back(slot);
}

void CRecordScheduler::WaitAll() {
  std::unique_lock<std::mutex> lock(mutex);
  finished.wait(lock, [this] { return running == 0; });
}

void CRecordScheduler::Drain(const std::function<void(RecordResult&)>& consumer) {
  for (;;) {
    std::shared_ptr<Slot> slot;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (slots.empty() || !slots.front()->done)
        return;
      slot = slots.front();
      slots.pop_front();
    }
    if (slot->result.failure) {
      WaitAll();
      std::rethrow_exception(slot->result.failure);
    }
    consumer(slot->result);
  }
}
