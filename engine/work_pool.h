#pragma once
// A small pool of worker threads for the per-file requests of one phase of
// a run (the opens of the scan, the copies and moves of the transfer).
//
// One thread, the phase's own, queues the jobs; the queue is bounded, so a
// tree of any size holds only a few jobs at a time.  Jobs start strictly in
// the order they were queued.  A worker decides whether to start a job while
// it takes it, under the queue's lock: a job taken after a cancel request is
// dropped, and so is every job after it.  So the jobs that started are
// always a prefix of the queue.  A dropped job is still called, with
// `started` false, so that it can hand in its (empty) step of the log.
//
// A pool of one worker makes no thread: submit runs each job at once on the
// calling thread, which is exactly the one-thread run.

#include <windows.h>

#include <atomic>
#include <deque>
#include <functional>
#include <vector>

#include "base/handles.h"
#include "base/run_options.h"
#include "base/sync.h"

class WorkPool {
 public:
  using Job = std::function<void(bool started)>;

  // `workers` threads (none for 1) and room for `capacity` queued jobs.
  // Threads that cannot be made are done without; none at all means one
  // worker.
  WorkPool(unsigned workers, size_t capacity);
  // Drops what is still queued and waits for the running jobs.
  ~WorkPool();
  WorkPool(const WorkPool&) = delete;
  WorkPool& operator=(const WorkPool&) = delete;

  bool threaded() const { return !threads_.empty(); }

  // Queues a job, waiting while the queue is full.
  void submit(Job job);
  // Waits until every queued job has been taken by a worker (started or
  // dropped); the ones started may still be running.
  void waitUntilTaken();
  // Waits until `done()` holds.  `done` reads state that jobs change; the
  // pool looks again each time a job is taken or ends.
  template <typename Done>
  void waitUntil(Done done) {
    for (;;) {
      throwIfFailed();
      // Announced before looking: a job that changes things after the look
      // sees the flag and signals.
      watching_ = true;
      if (done()) {
        watching_ = false;
        return;
      }
      WaitForSingleObject(changed_.get(), INFINITE);
    }
  }
  // Waits until every queued job has ended.
  void finishAll();

  // From inside a job: holds back every job not yet started, waits until
  // every other running job has ended, then calls `work` alone.  Jobs that
  // ask at the same time take turns.
  void runAlone(const std::function<void()>& work);

 private:
  static DWORD WINAPI threadProcedure(LPVOID pool);
  void work();
  // After a job was taken or ended: wakes the queueing thread if it waits.
  void reportChange();
  // A job that threw (out of memory) ends the phase the way an allocation
  // failure on the run's own thread does: the exception surfaces here.
  void throwIfFailed();

  // Kernel objects are signalled only for a thread that waits on them: on a
  // busy queue, jobs pass without a kernel call.
  CriticalSection lock_;
  KernelHandle ready_;    // semaphore: wakes idle workers
  KernelHandle changed_;  // auto-reset event: a job was taken or ended
  std::deque<Job> queue_;
  size_t capacity_;
  size_t running_ = 0;
  size_t idle_ = 0;                    // workers waiting on ready_ ...
  size_t wakesPending_ = 0;            // ... and wakes already released for them
  std::atomic<bool> watching_{false};  // the queueing thread waits on changed_
  bool stopped_ = false;               // a job was dropped: every later one is too
  size_t parked_ = 0;                  // jobs waiting in runAlone; none starts meanwhile
  CriticalSection alone_;
  bool closing_ = false;
  // Taking a job wakes a waiting queueing thread only when it leaves this
  // many queued or fewer; a job's end, only when any change is awaited.
  static constexpr size_t kAnyChange = static_cast<size_t>(-1);
  size_t wakeAtOrBelow_ = kAnyChange;
  std::atomic<bool> failed_{false};
  std::vector<KernelHandle> threads_;
};

// The number of workers a phase uses: `options.workers` when set (at most
// 32), otherwise twice the processors, at least 2 and at most 8.  One when a
// source and the destination, or two sources, lie inside each other: then a
// job's source can be another job's target, or two opens that exclude each
// other would meet on one file.
unsigned workersFor(const RunOptions& options);
