#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/error.h"
#include "core/log.h"
#include "io/job.h"
#include "io/waiter.h"
#include "util/test_streams.h"

namespace OST {
namespace {

using Clock = std::chrono::steady_clock;

// What a test learns about one job: that its JobMain began, that Stop
// reached it, and on which thread it was deleted.
struct JobProbe {
  std::promise<void> started;
  std::promise<void> stopped;
  std::promise<std::thread::id> deleted;
  std::atomic<int> stops{0};
};

// A job whose body is given by the test; Stop signals its waiter.
class ProbeJob : public Job {
 public:
  ProbeJob(JobProbe& probe, std::function<void(Waiter&)> body) : probe_(probe), body_(std::move(body)) {}
  ~ProbeJob() override { probe_.deleted.set_value(std::this_thread::get_id()); }

  void JobMain() override {
    probe_.started.set_value();
    body_(waiter_);
  }
  void Stop() override {
    if (probe_.stops++ == 0) probe_.stopped.set_value();
    waiter_.Signal();
  }

 private:
  JobProbe& probe_;
  std::function<void(Waiter&)> body_;
  Waiter waiter_;
};

std::string Id(const Job* job) { return std::to_string(reinterpret_cast<uintptr_t>(job)); }

void WaitUntilStopped(Waiter& waiter) { waiter.Wait(); }

TEST(SimpleJobRunner, ImmediateJobIsDeletedOnItsThreadAndCounted) {
  testutil::CapturedLog log;
  EnableLogCategory("117");
  SimpleJobRunner runner;
  JobProbe probe;
  auto job = std::make_unique<ProbeJob>(probe, [](Waiter&) {});
  const std::string id = Id(job.get());
  const uint32_t before = runner.Sequence();
  runner.Run(std::move(job));
  runner.WaitEmpty();
  EXPECT_EQ(runner.JobCount(), 0);
  EXPECT_EQ(runner.Sequence(), before + 1);
  auto deleted = probe.deleted.get_future();
  ASSERT_EQ(deleted.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  EXPECT_NE(deleted.get(), std::this_thread::get_id());
  EXPECT_EQ(probe.stops, 0);
  for (const std::string& message : {"running job " + id, "job " + id + " has finished", std::string("deleting job"),
                                    std::string("job deleted")})
    EXPECT_TRUE(log.HasLineEndingWith(message)) << message;
}

TEST(SimpleJobRunner, StopWithoutJobsOnlyLogs) {
  testutil::CapturedLog log;
  EnableLogCategory("117");
  SimpleJobRunner runner;
  runner.Stop();
  EXPECT_TRUE(log.HasLineEndingWith("no jobs to stop"));
  EXPECT_EQ(runner.JobCount(), 0);
}

// Stop reaches every job blocked on its Waiter; each returns and is deleted.
TEST(SimpleJobRunner, StopReachesJobsBlockedOnWaiters) {
  testutil::CapturedLog log;
  EnableLogCategory("117");
  SimpleJobRunner runner;
  constexpr int kJobs = 5;
  std::vector<std::unique_ptr<JobProbe>> probes;
  for (int i = 0; i < kJobs; ++i) {
    probes.push_back(std::make_unique<JobProbe>());
    runner.Run(std::make_unique<ProbeJob>(*probes.back(), WaitUntilStopped));
  }
  for (auto& probe : probes) probe->started.get_future().get();
  EXPECT_EQ(runner.JobCount(), kJobs);
  EXPECT_EQ(runner.Sequence(), 0u);
  runner.Stop();
  runner.WaitEmpty();
  EXPECT_EQ(runner.Sequence(), static_cast<uint32_t>(kJobs));
  for (auto& probe : probes) EXPECT_EQ(probe->stops, 1);
  EXPECT_TRUE(log.HasLineEndingWith("stopping 5 jobs"));
  EXPECT_TRUE(log.HasLineEndingWith("done stop request"));
}

TEST(SimpleJobRunner, WaitChangedReturnsAtOnceForStaleSequenceAndWaitsForCurrent) {
  SimpleJobRunner runner;
  JobProbe first;
  runner.Run(std::make_unique<ProbeJob>(first, [](Waiter&) {}));
  runner.WaitEmpty();
  runner.WaitChanged(0);  // stale: the sequence is 1 already

  JobProbe probe;
  Waiter release;
  runner.Run(std::make_unique<ProbeJob>(probe, [&release](Waiter&) { release.Wait(); }));
  probe.started.get_future().get();
  const uint32_t current = runner.Sequence();
  EXPECT_EQ(current, 1u);
  auto changed = std::async(std::launch::async, [&] { runner.WaitChanged(current); });
  EXPECT_EQ(changed.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  release.Signal();
  changed.get();
  EXPECT_EQ(runner.Sequence(), 2u);
  runner.WaitEmpty();
}

// The destructor stops running jobs and waits for them; a Run that comes
// once destruction has begun is refused and its job destroyed.
TEST(SimpleJobRunner, DestructorStopsWaitsAndRefusesNewJobs) {
  auto owner = std::make_unique<SimpleJobRunner>();
  SimpleJobRunner* runner = owner.get();  // still valid while the destructor waits
  JobProbe probe;
  Waiter gate;  // the job keeps running after Stop until the test opens this
  runner->Run(std::make_unique<ProbeJob>(probe, [&gate](Waiter&) { gate.Wait(); }));
  probe.started.get_future().get();
  auto deleted = probe.deleted.get_future();

  std::thread destroyer([&owner] { owner.reset(); });
  probe.stopped.get_future().get();  // the runner is terminated before it stops jobs
  JobProbe refused;
  auto refusedDeleted = refused.deleted.get_future();
  try {
    runner->Run(std::make_unique<ProbeJob>(refused, [](Waiter&) {}));
    ADD_FAILURE() << "Run accepted a job";
  } catch (const Error& e) {
    EXPECT_EQ(e.Code(), E_ACCES);
    EXPECT_EQ(e.Text(), "JobRunner object is terminated");
  }
  EXPECT_EQ(refusedDeleted.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  EXPECT_EQ(deleted.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
  gate.Signal();
  destroyer.join();
  EXPECT_EQ(deleted.wait_for(std::chrono::seconds(0)), std::future_status::ready);
}

// Whatever escapes JobMain is logged in the short form whatever the
// categories, and the job is still deleted and counted out.
TEST(SimpleJobRunner, EscapingFailuresAreLoggedAndJobsCountedOut) {
  struct Case {
    std::function<void(Waiter&)> body;
    std::string message;
  };
  const std::vector<Case> cases = {
      {[](Waiter&) { OST_THROW(Error(E_IO, "Disk on fire").Add("path", "a/b")); },
       " error: Code: E_IO, Text: \"Disk on fire\", path: \"a/b\""},
      {[](Waiter&) { throw std::runtime_error("bad state"); }, " exception: bad state"},
      {[](Waiter&) { throw 42; }, " exception: unknown exception"},
  };
  testutil::CapturedLog log;  // every category off
  SimpleJobRunner runner;
  for (const Case& c : cases) {
    JobProbe probe;
    auto job = std::make_unique<ProbeJob>(probe, c.body);
    const std::string id = Id(job.get());
    const uint32_t before = runner.Sequence();
    runner.Run(std::move(job));
    runner.WaitEmpty();
    EXPECT_EQ(runner.Sequence(), before + 1);
    EXPECT_EQ(probe.deleted.get_future().wait_for(std::chrono::seconds(0)), std::future_status::ready);
    bool found = false;
    for (const std::string& line : log.Lines()) {
      if (line.find(" job " + id + c.message) != std::string::npos) found = true;
    }
    EXPECT_TRUE(found) << c.message;
  }
  EXPECT_EQ(runner.JobCount(), 0);
}

// A job whose Stop throws does not keep the runner from asking the others.
TEST(SimpleJobRunner, FailingStopDoesNotSkipOtherJobs) {
  class FailingStopJob : public Job {
   public:
    explicit FailingStopJob(Waiter& done) : done_(done) {}
    void JobMain() override { done_.Wait(); }
    void Stop() override { OST_THROW(Error(E_BUSY, "Cannot stop")); }

   private:
    Waiter& done_;
  };
  SimpleJobRunner runner;
  Waiter done;
  std::vector<std::unique_ptr<JobProbe>> probes;
  for (int i = 0; i < 3; ++i) {
    probes.push_back(std::make_unique<JobProbe>());
    runner.Run(std::make_unique<ProbeJob>(*probes.back(), WaitUntilStopped));
    runner.Run(std::make_unique<FailingStopJob>(done));
  }
  for (auto& probe : probes) probe->started.get_future().get();
  try {
    runner.Stop();
    ADD_FAILURE() << "Stop hid the failure";
  } catch (const Error& e) {
    EXPECT_EQ(e.Code(), E_BUSY);
  }
  for (auto& probe : probes) EXPECT_EQ(probe->stops, 1);
  done.Signal();
  runner.WaitEmpty();
  EXPECT_EQ(runner.Sequence(), 6u);
}

TEST(Waiter, ZeroTimeTestsTheEvent) {
  Waiter waiter;
  EXPECT_TRUE(waiter.WaitFor(TimeoutMs(0)));
  waiter.Signal();
  EXPECT_FALSE(waiter.WaitFor(TimeoutMs(0)));
}

TEST(Waiter, SignalStaysUntilReset) {
  Waiter waiter;
  waiter.Signal();
  waiter.Wait();
  waiter.Wait();
  EXPECT_FALSE(waiter.WaitFor(TimeoutMs(10000)));
  waiter.Reset();
  const auto start = Clock::now();
  EXPECT_TRUE(waiter.WaitFor(TimeoutMs(30)));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));
}

TEST(Waiter, SignalFromAnotherThreadWakesEveryWaiter) {
  Waiter waiter;
  auto plain = std::async(std::launch::async, [&] { waiter.Wait(); });
  auto timed = std::async(std::launch::async, [&] { return waiter.WaitFor(TimeoutMs(60000)); });
  EXPECT_EQ(plain.wait_for(std::chrono::milliseconds(30)), std::future_status::timeout);
  waiter.Signal();
  plain.get();
  EXPECT_FALSE(timed.get());
}

}  // namespace
}  // namespace OST
