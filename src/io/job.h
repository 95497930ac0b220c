// Jobs: long-running work, each on a thread of its own, stopped from outside.
//
// A SimpleJobRunner takes ownership of each job handed to Run, starts it on a
// new detached thread and deletes it on that thread once JobMain returns.
// Owners learn that jobs are gone through JobCount (started, not yet
// deleted) and Sequence (deleted since construction), and can block until
// the runner is empty or until one more job has been deleted. Destroying the
// runner stops every job and waits until all are deleted.
//
// A job's identity in log lines is its address as a decimal number. Trace
// lines go to category kLogJobs. An Error or any other exception escaping
// JobMain is logged whatever the categories ("job {} error: {}" with the
// error's full text, "job {} exception: {}" otherwise); the job is then
// removed, deleted and counted out like any other, and the process goes on.
//
// Thread contract: SimpleJobRunner is safe from any thread; one mutex guards
// its set of running jobs, its flag and both counters. JobMain and the job's
// destruction run without that mutex; a job's Stop runs under it and must
// not call back into the same runner.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>

#include "core/interface.h"
#include "core/stream.h"

namespace OST {

inline constexpr int kLogJobs = 117;

class Job : public virtual Stoppable {
 public:
  // The job's whole life on its own thread. Stop, from another thread, must
  // make it return soon.
  virtual void JobMain() = 0;
};

class Restartable : public virtual Interface {
 public:
  // Asks for the object's work to be rebuilt (for example the network side
  // after a configuration update). Safe from any thread.
  virtual void RequestRestart() = 0;
};

class SimpleJobRunner : public NonCopyable, public virtual Stoppable {
 public:
  SimpleJobRunner() = default;
  // Stops every job and blocks until all are deleted; a failure on the way
  // is logged ("Error: {}", category 123), never thrown.
  ~SimpleJobRunner() override;

  // Takes ownership of `job` and runs its JobMain on a new detached thread.
  // Throws E_ACCES "JobRunner object is terminated" once destruction has
  // begun, and the errno-based "Could not create thread" (function
  // "pthread_create") when no thread can be made; in both cases the job is
  // destroyed here and was never counted. Requires: job is not null.
  void Run(std::unique_ptr<Job> job);
  // Calls Stop on every job whose JobMain is still running; does not wait.
  // Every job is asked even when one's Stop throws; the first such Error is
  // then passed on.
  void Stop() override;
  // Blocks until no job is left (JobCount() == 0).
  void WaitEmpty();
  // Jobs started and not yet deleted.
  int JobCount() const;
  // Jobs deleted since construction (wraps around).
  uint32_t Sequence() const;
  // Blocks until Sequence() differs from `sequence`; returns at once when it
  // already does.
  void WaitChanged(uint32_t sequence);

 private:
  static void ThreadMain(SimpleJobRunner* runner, Job* job);

  // protected by mutex_
  mutable std::mutex mutex_;
  std::condition_variable changed_;  // a job was deleted
  std::set<Job*> running_;           // JobMain not yet returned
  bool terminated_ = false;
  int count_ = 0;          // started, not yet deleted
  uint32_t sequence_ = 0;  // deleted since construction
};

}  // namespace OST
