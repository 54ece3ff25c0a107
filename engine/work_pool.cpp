#include "engine/work_pool.h"

#include <algorithm>
#include <new>
#include <string>

#include "base/run_state.h"
#include "engine/file_ops.h"
#include "engine/system_folder.h"

WorkPool::WorkPool(unsigned workers, size_t capacity)
    : ready_(CreateSemaphoreW(nullptr, 0, 0x7FFFFFFF, nullptr)),
      changed_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      capacity_(std::max<size_t>(capacity, 1)) {
  if (workers <= 1 || !ready_ || !changed_) return;
  threads_.reserve(workers);
  for (unsigned i = 0; i < workers; ++i) {
    KernelHandle thread(CreateThread(nullptr, 0, threadProcedure, this, 0, nullptr));
    if (!thread) break;
    threads_.push_back(std::move(thread));
  }
}

WorkPool::~WorkPool() {
  if (threads_.empty()) return;
  {
    ScopedLock hold(lock_);
    queue_.clear();
    closing_ = true;
  }
  ReleaseSemaphore(ready_.get(), static_cast<LONG>(threads_.size()), nullptr);
  for (KernelHandle& thread : threads_) WaitForSingleObject(thread.get(), INFINITE);
}

DWORD WINAPI WorkPool::threadProcedure(LPVOID pool) {
  try {
    static_cast<WorkPool*>(pool)->work();
  } catch (...) {
    // work() lets nothing out; this only keeps the promise.
  }
  return 0;
}

void WorkPool::work() {
  for (;;) {
    Job job;
    bool start = false, wakeForTake = false;
    {
      ScopedLock hold(lock_);
      if (queue_.empty() || parked_) {
        if (closing_) return;
        ++idle_;
        lock_.leave();
        WaitForSingleObject(ready_.get(), INFINITE);
        lock_.enter();
        --idle_;
        if (wakesPending_) --wakesPending_;
        continue;
      }
      job.swap(queue_.front());
      queue_.pop_front();
      // The decision is taken under the lock, in queue order, and a cancel
      // is never withdrawn during a run: once one job is dropped, every job
      // taken after it is dropped as well.
      if (!stopped_ && (cancelled() || failed_)) stopped_ = true;
      start = !stopped_;
      ++running_;
      wakeForTake = queue_.size() <= wakeAtOrBelow_;
    }
    if (wakeForTake) reportChange();
    try {
      job(start);
    } catch (...) {
      // Nothing crosses the thread procedure.  The queueing thread rethrows.
      failed_ = true;
    }
    bool wakeForEnd;
    {
      ScopedLock hold(lock_);
      --running_;
      wakeForEnd = wakeAtOrBelow_ == kAnyChange;
    }
    if (wakeForEnd) reportChange();
  }
}

void WorkPool::reportChange() {
  // The change was made under the lock before this.  Either the waiting
  // thread set the flag before taking the lock to look, and sees it here, or
  // it looks after the change.
  if (watching_.exchange(false)) SetEvent(changed_.get());
}

void WorkPool::runAlone(const std::function<void()>& work) {
  {
    ScopedLock hold(lock_);
    ++parked_;
  }
  ScopedLock turn(alone_);
  for (;;) {
    {
      ScopedLock hold(lock_);
      // The others still parked wait for their turn and do nothing.
      if (running_ == parked_) break;
    }
    Sleep(1);  // a rare path: a transfer that failed for want of space
  }
  work();
  size_t idle = 0;
  {
    ScopedLock hold(lock_);
    --parked_;
    if (parked_ == 0 && idle_ > wakesPending_) {
      idle = idle_ - wakesPending_;
      wakesPending_ = idle_;
    }
  }
  if (idle) ReleaseSemaphore(ready_.get(), static_cast<LONG>(idle), nullptr);
}

void WorkPool::throwIfFailed() {
  if (failed_) throw std::bad_alloc();
}

void WorkPool::submit(Job job) {
  if (threads_.empty()) {
    job(true);
    return;
  }
  bool wake = false;
  waitUntil([&] {
    ScopedLock hold(lock_);
    // A full queue is let drain to half before this thread is woken, so
    // that it fills the queue in bursts and not once per job taken: every
    // wake is a kernel call on both sides.
    if (queue_.size() >= capacity_ ||
        (wakeAtOrBelow_ != kAnyChange && queue_.size() > wakeAtOrBelow_)) {
      wakeAtOrBelow_ = capacity_ / 2;
      return false;
    }
    wakeAtOrBelow_ = kAnyChange;
    queue_.push_back(std::move(job));
    wake = idle_ > wakesPending_;
    if (wake) ++wakesPending_;
    return true;
  });
  if (wake) ReleaseSemaphore(ready_.get(), 1, nullptr);
}

void WorkPool::waitUntilTaken() {
  if (threads_.empty()) return;
  waitUntil([this] {
    ScopedLock hold(lock_);
    return queue_.empty();
  });
}

void WorkPool::finishAll() {
  if (threads_.empty()) return;
  waitUntil([this] {
    ScopedLock hold(lock_);
    return queue_.empty() && running_ == 0;
  });
}

namespace {

// A normalised path in capitals, ending in a backslash, so that one path
// lies inside another exactly when it starts with the other.
std::wstring comparable(std::wstring path) {
  if (path.empty()) return path;
  if (path.back() != L'\\') path += L'\\';
  CharUpperBuffW(&path[0], static_cast<DWORD>(path.size()));
  return path;
}

unsigned processorWorkers() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  unsigned cpus = info.dwNumberOfProcessors ? info.dwNumberOfProcessors : 1;
  return std::min(std::max(2 * cpus, 2u), 8u);
}

}  // namespace

unsigned workersFor(const RunOptions& options) {
  unsigned workers = options.workers ? std::min(options.workers, 32u) : processorWorkers();
  if (workers <= 1) return 1;
  std::vector<std::wstring> paths;
  // Compared where they really lead (engine/system_folder.h).
  auto reached = [](const std::wstring& path) {
    return unredirectedPath(path, systemFolderView()).value_or(path);
  };
  for (const std::wstring& source : options.sources)
    paths.push_back(comparable(reached(longPathOf(source))));
  std::wstring destination = normaliseDestination(options.destination);
  if (!destination.empty()) paths.push_back(comparable(reached(L"\\\\?\\" + destination)));
  for (size_t i = 0; i < paths.size(); ++i)
    for (size_t j = 0; j < paths.size(); ++j)
      if (i != j && !paths[i].empty() && !paths[j].empty() &&
          paths[i].compare(0, paths[j].size(), paths[j]) == 0)
        return 1;
  return workers;
}
