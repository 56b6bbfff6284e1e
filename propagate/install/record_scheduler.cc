#include "install/record_scheduler.h"

#include "sys/path_name.h"

namespace {

/// True when name, normalised, equals, lies below or lies above a name of names.
bool Related(const std::string& normal, const std::multiset<std::string>& names) {
  if (names.empty())
    return false;
  if (names.count(normal) != 0)
    return true;
  // A name above this one: each leading part of the name up to a slash.
  for (size_t slash = normal.find('/'); slash != std::string::npos; slash = normal.find('/', slash + 1))
    if (names.count(normal.substr(0, slash)) != 0)
      return true;
  // A name below this one sorts right after name + "/"; the top, "", lies above every path.
  if (normal.empty())
    return true;
  std::string below = normal + "/";
  auto next = names.lower_bound(below);
  return next != names.end() && next->compare(0, below.size(), below) == 0;
}

}  // namespace

bool CPathsInProgress::Overlaps(const std::string& name) const { return Overlaps(RecordPaths{{name}, {}}); }

bool CPathsInProgress::Overlaps(const RecordPaths& paths) const {
  if (Empty())
    return false;
  if (barriers != 0)
    return true;  // a ".." may lead anywhere: such a record waits for every other, and every other for it
  std::string normal;
  for (const std::string& name : paths.occupied) {
    if (!NormalisePath(name, normal))
      return true;
    if (Related(normal, occupied) || Related(normal, traversed))
      return true;
  }
  for (const std::string& name : paths.traversed)
    if (NormalisePath(name, normal) && Related(normal, occupied))
      return true;
  return false;
}

void CPathsInProgress::Add(const RecordPaths& paths) {
  std::string normal;
  for (const std::string& name : paths.occupied) {
    if (NormalisePath(name, normal))
      occupied.insert(normal);
    else
      ++barriers;
  }
  for (const std::string& name : paths.traversed)
    if (NormalisePath(name, normal))
      traversed.insert(normal);
}

void CPathsInProgress::Remove(const RecordPaths& paths) {
  std::string normal;
  for (const std::string& name : paths.occupied) {
    if (!NormalisePath(name, normal)) {
      --barriers;
      continue;
    }
    auto found = occupied.find(normal);
    if (found != occupied.end())
      occupied.erase(found);
  }
  for (const std::string& name : paths.traversed) {
    if (!NormalisePath(name, normal))
      continue;
    auto found = traversed.find(normal);
    if (found != traversed.end())
      traversed.erase(found);
  }
}

// Records queued beyond the workers keep every worker busy while this thread reads on, and let it sleep
// only once per half a window instead of once per record; at most jobs records are worked on at once.
// The window is wide enough to reach past a directory of files or two, so that workers find records of
// directories that no other worker is in.
CRecordScheduler::CRecordScheduler(unsigned jobs)
    : jobs(jobs < 1 ? 1 : jobs), window(this->jobs == 1 ? 1 : 64 * this->jobs) {
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

void CRecordScheduler::Finish(std::shared_ptr<Slot> slot, RecordResult result) {
  if (result.failure)
    failed = true;
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex);
    slot->result = std::move(result);
    slot->done = true;
    inProgress.Remove(slot->paths);
    --running;
    // Let go of the slot under the lock: the thread that drains it is then its last owner, and the failure
    // it carries is released where it is read.
    slot.reset();
    wake = awaited != nullptr && (*awaited)();
  }
  // A wake-up costs the waker a system call and the woken thread a switch: only for a thread whose wait
  // is over, not at every record that finishes while it waits.
  if (wake)
    finished.notify_one();
}

void CRecordScheduler::WaitUntil(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready) {
  // Cleared on every way out, an exception from ready included: workers must never see a condition that
  // is gone.
  struct CAwaiting {
    const std::function<bool()>*& awaited;
    ~CAwaiting() { awaited = nullptr; }
  } awaiting{awaited};
  awaited = &ready;
  if (ready())
    return;
  // Records queued but not handed to a worker yet may be the very ones waited for.
  if (pool)
    pool->Flush();
  finished.wait(lock, ready);
}

std::shared_ptr<CRecordScheduler::Slot> CRecordScheduler::Enter(RecordPaths paths, bool queued) {
  auto slot = std::make_shared<Slot>();
  slot->paths = std::move(paths);
  std::unique_lock<std::mutex> lock(mutex);
  // A record that failed meanwhile, perhaps the very one waited for, stops every later one.
  if (queued && running >= window)
    WaitUntil(lock, [&] { return failed || running <= window / 2; });
  WaitUntil(lock, [&] { return failed || !inProgress.Overlaps(slot->paths); });
  if (failed)
    return nullptr;
  inProgress.Add(slot->paths);
  ++running;
  slots.push_back(slot);
  return slot;
}

bool CRecordScheduler::Start(const std::string& name, std::function<RecordResult()> work) {
  return Start(RecordPaths{{name}, {}}, std::move(work));
}

bool CRecordScheduler::Start(RecordPaths paths, std::function<RecordResult()> work) {
  const std::string name = paths.occupied.empty() ? std::string() : paths.occupied.front();
  std::shared_ptr<Slot> slot = Enter(std::move(paths), true);
  if (!slot)
    return false;
  if (!pool) {
    Finish(std::move(slot), work());
    return true;
  }
  size_t slash = name.rfind('/');
  size_t directory = std::hash<std::string_view>()(
      std::string_view(name).substr(0, slash == std::string::npos ? 0 : slash));
  pool->Queue([this, slot = std::move(slot), work = std::move(work)]() mutable { Finish(std::move(slot), work()); },
              directory);
  return true;
}

bool CRecordScheduler::RunHere(const std::string& name, const std::function<RecordResult()>& work) {
  return RunHere(RecordPaths{{name}, {}}, work);
}

bool CRecordScheduler::RunHere(RecordPaths paths, const std::function<RecordResult()>& work) {
  std::shared_ptr<Slot> slot = Enter(std::move(paths), false);
  if (!slot)
    return false;
  RecordResult result;
  try {
    result = work();
  } catch (...) {
    result.failure = std::current_exception();
  }
  Finish(std::move(slot), std::move(result));
  return true;
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
  WaitUntil(lock, [this] { return running == 0; });
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
      // Records that started before the failure may have finished since: what they did was done, and is
      // reported before the failure is.
      WaitAll();
      std::deque<std::shared_ptr<Slot>> later;
      {
        std::lock_guard<std::mutex> lock(mutex);
        later.swap(slots);
      }
      for (const std::shared_ptr<Slot>& done : later)
        if (!done->result.failure)
          consumer(done->result);
      std::rethrow_exception(slot->result.failure);
    }
    consumer(slot->result);
  }
}
