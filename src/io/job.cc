#include "io/job.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "core/error.h"
#include "core/log.h"

namespace OST {
namespace {

std::string JobId(const Job* job) { return std::to_string(reinterpret_cast<uintptr_t>(job)); }

}  // namespace

SimpleJobRunner::~SimpleJobRunner() {
  try {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      terminated_ = true;
    }
    Stop();
  } catch (const Error& e) {
    OST_LOG(kLogDroppedErrors, "Error: {}", e.FullText(','));
  } catch (const std::exception& e) {
    OST_LOG(kLogDroppedErrors, "Error: {}", e.what());
  }
  // Waiting is not skipped after a failed Stop: the jobs' threads use this
  // object until they have counted themselves out.
  WaitEmpty();
}

void SimpleJobRunner::Run(std::unique_ptr<Job> job) try {
  std::lock_guard<std::mutex> lock(mutex_);
  if (terminated_) OST_THROW(Error(E_ACCES, "JobRunner object is terminated"));
  Job* raw = job.get();
  running_.insert(raw);
  ++count_;
  try {
    // The new thread cannot delete the job before the release below: it
    // needs mutex_ first, which is held until Run returns.
    std::thread thread(&SimpleJobRunner::ThreadMain, this, raw);
    job.release();
    thread.detach();
  } catch (const std::system_error& e) {
    running_.erase(raw);
    --count_;
    OST_THROW(Errno("Could not create thread", "pthread_create", e.code().value()));
  }
}
OST_TRAIL

void SimpleJobRunner::ThreadMain(SimpleJobRunner* runner, Job* job) {
  const std::string id = JobId(job);
  OST_LOG(kLogJobs, "running job {}", id);
  try {
    job->JobMain();
  } catch (const Error& e) {
    OST_LOG_ALWAYS("job {} error: {}", id, e.FullText(','));
  } catch (const std::exception& e) {
    OST_LOG_ALWAYS("job {} exception: {}", id, e.what());
  } catch (...) {
    OST_LOG_ALWAYS("job {} exception: {}", id, "unknown exception");
  }
  OST_LOG(kLogJobs, "job {} has finished", id);
  {
    std::lock_guard<std::mutex> lock(runner->mutex_);
    runner->running_.erase(job);
  }
  OST_LOG(kLogJobs, "deleting job");
  delete job;
  OST_LOG(kLogJobs, "job deleted");
  // Last use of the runner: once the count drops, its owner may destroy it.
  std::lock_guard<std::mutex> lock(runner->mutex_);
  --runner->count_;
  ++runner->sequence_;
  runner->changed_.notify_all();
}

void SimpleJobRunner::Stop() try {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_.empty()) {
    OST_LOG(kLogJobs, "no jobs to stop");
    return;
  }
  OST_LOG(kLogJobs, "stopping {} jobs", running_.size());
  std::optional<Error> first;
  for (Job* job : running_) {
    try {
      job->Stop();
    } catch (const Error& e) {
      if (!first) first.emplace(e);
    }
  }
  OST_LOG(kLogJobs, "done stop request");
  if (first) throw Error(*first);
}
OST_TRAIL

void SimpleJobRunner::WaitEmpty() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (count_ != 0) changed_.wait(lock);
}

int SimpleJobRunner::JobCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

uint32_t SimpleJobRunner::Sequence() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sequence_;
}

void SimpleJobRunner::WaitChanged(uint32_t sequence) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (sequence_ == sequence) changed_.wait(lock);
}

}  // namespace OST
