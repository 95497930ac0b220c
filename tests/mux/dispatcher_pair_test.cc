// Two dispatchers over a real connection on 127.0.0.1, bare and through the
// established-connection cipher, each running on a job runner as in the
// daemon. Ordering comes from the log (lines waited for with a bound), from
// latches and from futures.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <latch>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/error.h"
#include "io/job.h"
#include "mux/dispatcher.h"
#include "mux/mux_test_util.h"
#include "util/catch_error.h"

namespace OST {
namespace {

using testutil::CatchError;
using testutil::FrameBytes;
using testutil::RandomBytes;
using testutil::ReadExactly;
using namespace std::chrono_literals;

uint32_t Seed() {
  return static_cast<uint32_t>(::testing::UnitTest::GetInstance()->random_seed());
}

using DispatcherLinkPtr = std::shared_ptr<Link<Dispatcher>>;

Dispatcher::Stream2 Create(const DispatcherLinkPtr& link, SlotId& slot) {
  return link->Call([&](Dispatcher& d) { return d.CreateStream(slot); });
}

Dispatcher::Stream2 Open(const DispatcherLinkPtr& link, uint16_t slot) {
  return link->Call([&](Dispatcher& d) { return d.OpenStream(SlotId(slot)); });
}

uint16_t CreatedSlot(const DispatcherLinkPtr& link, std::vector<Dispatcher::Stream2>& keep) {
  SlotId slot;
  keep.push_back(Create(link, slot));
  return slot.value;
}

// Blocks until the runner has deleted one more job than `sequence` says, at
// most `limit`; on time-out stops the runner's jobs so the wait ends.
bool WaitJobDeleted(SimpleJobRunner& runner, uint32_t sequence, std::chrono::milliseconds limit = 10000ms) {
  auto waiting = std::async(std::launch::async, [&] { runner.WaitChanged(sequence); });
  if (waiting.wait_for(limit) == std::future_status::ready) return true;
  runner.Stop();
  waiting.get();
  return false;
}

class DispatcherPairTest : public ::testing::TestWithParam<bool> {
 protected:
  // Dispatcher A (super) and B (not super) over a fresh connection, each on
  // its own runner.
  void StartPair(std::optional<DispatcherLimits> limitsA = std::nullopt,
                 std::optional<DispatcherLimits> limitsB = std::nullopt) {
    auto [a, b] = testutil::MakeConnectionPair(GetParam());
    auto dispatcherA = std::make_unique<Dispatcher>(std::move(a), "A", true, limitsA);
    auto dispatcherB = std::make_unique<Dispatcher>(std::move(b), "B", false, limitsB);
    a_ = dispatcherA->GetLink();
    b_ = dispatcherB->GetLink();
    runnerA_.Run(std::move(dispatcherA));
    runnerB_.Run(std::move(dispatcherB));
  }

  testutil::LogWatch log_;  // first: outlives every thread that logs
  DispatcherLinkPtr a_, b_;
  SimpleJobRunner runnerA_, runnerB_;  // last: their destruction stops and awaits both dispatchers
};

INSTANTIATE_TEST_SUITE_P(Connection, DispatcherPairTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Cipher" : "Bare"; });

// Each side creates slot 0 and opens slot 1: one side's client slot 1 talks
// to the other side's server slot 0, both ways.
TEST_P(DispatcherPairTest, SlotNumberingConnectsClientOneToServerZeroBothWays) {
  StartPair();
  SlotId slotA, slotB;
  Dispatcher::Stream2 serverA = Create(a_, slotA);
  Dispatcher::Stream2 serverB = Create(b_, slotB);
  EXPECT_EQ(slotA.value, 0);
  EXPECT_EQ(slotB.value, 0);
  Dispatcher::Stream2 clientA = Open(a_, Dispatcher::OppositeSlot(slotB).value);
  Dispatcher::Stream2 clientB = Open(b_, Dispatcher::OppositeSlot(slotA).value);

  struct Route {
    const char* name;
    Dispatcher::Stream2& from;
    Dispatcher::Stream2& to;
  };
  const Route routes[] = {
      {"A client 1 -> B server 0", clientA, serverB},
      {"B server 0 -> A client 1", serverB, clientA},
      {"B client 1 -> A server 0", clientB, serverA},
      {"A server 0 -> B client 1", serverA, clientB},
  };
  uint32_t seed = Seed();
  for (const Route& route : routes) {
    SCOPED_TRACE(route.name);
    const std::string data = RandomBytes(seed, 1000 + seed % 70000);
    ++seed;
    route.from.Write(data.data(), static_cast<int64_t>(data.size()));
    route.from.Flush();
    EXPECT_TRUE(ReadExactly(route.to, data.size()) == data);
  }
  EXPECT_EQ(log_.CountContaining("Error: "), 0) << testing::PrintToString(log_.Lines());
}

// A creates 0, 2, 4 and B opens their client ends. Deleting A's slot 2
// resets B's slot 3, whose blocked reader is woken; slot 2 stays pending
// (A's next slot is 6) until B closes its end and confirms; then 2 is reused.
TEST_P(DispatcherPairTest, ResetExchangeFreesTheSlotOnlyAfterThePeersConfirmation) {
  StartPair();
  std::vector<Dispatcher::Stream2> keepA;
  EXPECT_EQ(CreatedSlot(a_, keepA), 0);
  SlotId slot2;
  std::optional<Dispatcher::Stream2> server2(Create(a_, slot2));
  EXPECT_EQ(slot2.value, 2);
  EXPECT_EQ(CreatedSlot(a_, keepA), 4);
  Dispatcher::Stream2 client1 = Open(b_, 1);
  std::optional<Dispatcher::Stream2> client3(Open(b_, 3));
  Dispatcher::Stream2 client5 = Open(b_, 5);

  auto reader = std::async(std::launch::async, [&] {
    return CatchError([&] {
      char c;
      client3->ReadAny(&c, 1);
    });
  });
  server2.reset();
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready) << "the reset did not wake the reader";
  const auto woken = reader.get();
  EXPECT_EQ(woken.code, E_INTR);
  EXPECT_EQ(woken.text, "Read has been interrupted");
  EXPECT_EQ(log_.Count("Stopping slot=3"), 1);

  EXPECT_EQ(CreatedSlot(a_, keepA), 6) << "slot 2 waits for B's confirmation";
  client3.reset();
  ASSERT_TRUE(log_.WaitFor("Server slot=2 closed"));
  EXPECT_EQ(log_.Count("Client slot=3 reported cleanup to remote"), 1);
  EXPECT_EQ(CreatedSlot(a_, keepA), 2);
  EXPECT_EQ(log_.Count("Reused slot=2"), 1);
  EXPECT_EQ(log_.CountContaining("Error: "), 0) << testing::PrintToString(log_.Lines());
}

// Four writers (two slots each way) and four readers at once; every byte
// arrives on its own slot, in order.
TEST_P(DispatcherPairTest, ConcurrentWritersOnSeveralSlotsBothWays) {
  StartPair();
  SlotId s0, s2;
  Dispatcher::Stream2 a0 = Create(a_, s0), a2 = Create(a_, s2);
  Dispatcher::Stream2 b1 = Open(b_, 1), b3 = Open(b_, 3);
  struct Route {
    Dispatcher::Stream2& from;
    Dispatcher::Stream2& to;
    std::string data;
  };
  std::vector<Route> routes;
  const uint32_t seed = Seed();
  routes.push_back({a0, b1, RandomBytes(seed, 1000000)});
  routes.push_back({a2, b3, RandomBytes(seed + 1, 700000)});
  routes.push_back({b1, a0, RandomBytes(seed + 2, 500000)});
  routes.push_back({b3, a2, RandomBytes(seed + 3, 300001)});

  std::latch start(static_cast<std::ptrdiff_t>(routes.size()));
  std::vector<std::thread> writers;
  std::vector<std::future<std::string>> readers;
  for (size_t i = 0; i < routes.size(); ++i) {
    Route& route = routes[i];
    readers.push_back(
        std::async(std::launch::async, [&route] { return ReadExactly(route.to, route.data.size(), 30000ms); }));
    writers.emplace_back([&route, &start, i, seed] {
      std::mt19937 random(seed + 10 + static_cast<uint32_t>(i));
      start.arrive_and_wait();
      for (size_t at = 0; at < route.data.size();) {
        const size_t n = std::min<size_t>(route.data.size() - at, 1 + random() % 150000);
        route.from.Write(route.data.data() + at, static_cast<int64_t>(n));
        at += n;
      }
      route.from.Flush();
    });
  }
  for (std::thread& w : writers) w.join();
  for (size_t i = 0; i < routes.size(); ++i) EXPECT_TRUE(readers[i].get() == routes[i].data) << "route " << i;
  EXPECT_EQ(log_.CountContaining("Error: "), 0) << testing::PrintToString(log_.Lines());
}

// Both ends close one logical stream at the same moment, many times over:
// whichever way the RSTs cross, A receives exactly one confirmation per slot
// and every number comes back.
TEST_P(DispatcherPairTest, ClosingBothEndsAtOnceConfirmsEverySlot) {
  StartPair();
  constexpr int kRounds = 200;
  for (int round = 0; round < kRounds; ++round) {
    SlotId slot;
    std::optional<Dispatcher::Stream2> server(Create(a_, slot));
    std::optional<Dispatcher::Stream2> client(Open(b_, Dispatcher::OppositeSlot(slot).value));
    std::latch start(2);
    std::thread closer([&] {
      start.arrive_and_wait();
      server.reset();
    });
    start.arrive_and_wait();
    client.reset();
    closer.join();
  }
  const auto confirmed = [](const std::vector<std::string>& messages) {
    int closed = 0;
    for (const std::string& m : messages) closed += m.rfind("Server slot=", 0) == 0 && m.ends_with(" closed");
    return closed == kRounds;
  };
  ASSERT_TRUE(log_.WaitUntil(confirmed)) << "some slot was never confirmed";
  SlotId slot;
  Dispatcher::Stream2 next = Create(a_, slot);
  EXPECT_EQ(slot.value, 0) << "every number is free again";
  EXPECT_EQ(log_.CountContaining("Error: "), 0) << testing::PrintToString(log_.Lines());
}

// Idle connections stay up: the side that times out first pings, the other
// answers, and no ping goes unanswered.
TEST_P(DispatcherPairTest, IdlePeersKeepTheConnectionAliveWithPings) {
  StartPair(DispatcherLimits{TimeoutMs(40), TimeoutMs(5000), TimeoutMs(5000), 1 << 20},
            DispatcherLimits{TimeoutMs(80), TimeoutMs(5000), TimeoutMs(5000), 1 << 20});
  ASSERT_TRUE(log_.WaitFor("B: Pong", 3));
  EXPECT_EQ(log_.CountContaining("Missed"), 0);
  EXPECT_EQ(log_.CountContaining("Connection is dead"), 0);
  EXPECT_EQ(log_.CountContaining("Error: "), 0);
}

// A peer that never answers: three pings at the ping interval after the
// idle wait, then the connection is given up (timings scaled down).
TEST_P(DispatcherPairTest, SilentPeerIsGivenUpAfterThreeUnansweredPings) {
  auto [a, b] = testutil::MakeConnectionPair(GetParam());
  Dispatcher dispatcher(std::move(a), "A", true,
                        DispatcherLimits{TimeoutMs(200), TimeoutMs(50), TimeoutMs(1000), 1 << 20});
  const auto started = std::chrono::steady_clock::now();
  dispatcher.JobMain();
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_GE(elapsed, 350ms);
  EXPECT_LT(elapsed, 10s);
  EXPECT_THAT(log_.Messages(), ::testing::ElementsAre("A: Ping", "A: Missed 2 pings", "A: Ping", "A: Missed 3 pings",
                                                      "A: Ping", "A: Missed 4 pings", "A: Connection is dead"));
  const std::string ping = FrameBytes(0xFFF0, "");
  b->SetTimeout(TimeoutMs(5000));
  std::string received(3 * ping.size(), '\0');
  b->Read(received.data(), static_cast<int64_t>(received.size()));
  EXPECT_EQ(received, ping + ping + ping);
  char extra;
  EXPECT_EQ(b->ReadTimed(&extra, 1, TimeoutMs(100)), 0) << "nothing but three pings";
}

// When the peer goes away, the reading loop ends and the runner deletes the
// dispatcher: the handles left behind fail cleanly.
TEST_P(DispatcherPairTest, HandlesFailCleanlyOnceThePeerHasGoneAndTheDispatcherWithIt) {
  StartPair();
  SlotId slot;
  std::optional<Dispatcher::Stream2> server(Create(a_, slot));
  Dispatcher::Stream2 client = Open(b_, 1);
  client.Write("x", 1);
  client.Flush();
  std::promise<void> gotFirst;
  auto reader = std::async(std::launch::async, [&] {
    char c;
    server->Read(&c, 1);
    gotFirst.set_value();
    return CatchError([&] { server->Read(&c, 1); });
  });
  gotFirst.get_future().wait();

  const uint32_t sequenceA = runnerA_.Sequence();
  b_->Call([](Dispatcher& d) { d.Stop(); });
  ASSERT_TRUE(WaitJobDeleted(runnerA_, sequenceA)) << "A did not notice the vanished peer";
  EXPECT_TRUE(a_->Revoked());

  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  const auto woken = reader.get();
  EXPECT_TRUE((woken.code == E_INTR && woken.text == "Read has been interrupted") ||
              (woken.code == E_BADF && woken.text == "Object doesn't exist"))
      << woken.full;
  for (const auto& call :
       {std::function<void()>([&] { server->Write("y", 1); }), std::function<void()>([&] { server->Flush(); })}) {
    const auto caught = CatchError(call);
    EXPECT_EQ(caught.code, E_BADF);
    EXPECT_EQ(caught.text, "Object doesn't exist");
  }
  const int before = log_.CountContaining("Text: \"Object doesn't exist\"");
  server.reset();
  EXPECT_EQ(log_.CountContaining("Text: \"Object doesn't exist\""), before + 1) << "destroying it logs and returns";
}

}  // namespace
}  // namespace OST
