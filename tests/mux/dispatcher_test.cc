// One dispatcher over a scripted connection: the frames it sends are
// recorded, the frames it reads are scripted, and its reading loop runs on
// the test's own thread until the script is used up (the dead-peer sequence
// then ends it) or an error ends it.
#include "mux/dispatcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <latch>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/error.h"
#include "mux/mux_test_util.h"
#include "mux/page_pool.h"
#include "util/catch_error.h"

namespace OST {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Pair;
using testutil::CatchError;
using testutil::Frame;
using testutil::FrameBytes;
using testutil::RandomBytes;
using testutil::ReadExactly;

constexpr uint16_t kPing = 0xFFF0;
constexpr uint16_t kPong = 0xFFF1;

uint32_t Seed() {
  return static_cast<uint32_t>(::testing::UnitTest::GetInstance()->random_seed());
}

// (slot, payload) of each frame, and whether every frame was flushed.
std::vector<std::pair<uint16_t, std::string>> SlotsAndPayloads(const std::vector<Frame>& frames) {
  std::vector<std::pair<uint16_t, std::string>> out;
  for (const Frame& f : frames) out.emplace_back(f.slot, f.payload);
  return out;
}

bool AllFlushed(const std::vector<Frame>& frames) {
  for (const Frame& f : frames)
    if (!f.flushed) return false;
  return true;
}

class ScriptedDispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override { Make(true); }

  void Make(bool super, std::optional<DispatcherLimits> limits = std::nullopt) {
    dispatcher_.reset();
    wire_ = std::make_shared<testutil::Wire>();
    dispatcher_ =
        std::make_unique<Dispatcher>(std::make_unique<testutil::ScriptedConnection>(wire_), "T", super, limits);
  }

  // Feeds the chunks and runs the reading loop on this thread until it ends.
  void Run(const std::vector<std::string>& chunks) {
    for (const std::string& chunk : chunks) wire_->AddInput(chunk);
    dispatcher_->JobMain();
  }

  Dispatcher::Stream2 Create(uint16_t expected) {
    SlotId slot;
    Dispatcher::Stream2 stream = dispatcher_->CreateStream(slot);
    EXPECT_EQ(slot.value, expected);
    return stream;
  }

  // Error lines ("Error: Code: ..., Text: ...") with this text.
  int ErrorLines(const std::string& text) const { return log_.CountContaining("Text: \"" + text + "\""); }

  testutil::LogWatch log_;
  std::shared_ptr<testutil::Wire> wire_;
  std::unique_ptr<Dispatcher> dispatcher_;
};

TEST_F(ScriptedDispatcherTest, ServerSlotIsReusedOnlyAfterThePeerConfirmsItsReset) {
  std::optional<Dispatcher::Stream2> s0(Create(0)), s2(Create(2)), s4(Create(4));
  EXPECT_TRUE(wire_->Frames().empty()) << "creating a slot announces nothing";

  s2.reset();
  const std::vector<Frame> rst = wire_->Frames();
  EXPECT_THAT(SlotsAndPayloads(rst), ElementsAre(Pair(3, "")));
  EXPECT_TRUE(AllFlushed(rst));
  std::optional<Dispatcher::Stream2> s6(Create(6));  // 2 is still pending

  Run({FrameBytes(2, "")});
  EXPECT_EQ(log_.Count("T: RST for slot=2"), 1);
  EXPECT_EQ(log_.Count("Server slot=2 closed"), 1);
  std::optional<Dispatcher::Stream2> again(Create(2));
  EXPECT_EQ(log_.Count("Reused slot=2"), 1);

  // A second confirmation finds nothing pending: a protocol violation.
  Run({FrameBytes(2, ""), FrameBytes(kPing, "")});
  EXPECT_EQ(ErrorLines("Unexpected number of slots on release"), 1);
  EXPECT_EQ(log_.Count("Stopping slot=2"), 1) << "the stream on the slot is stopped first";
  EXPECT_EQ(CatchError([&] { again->ReadAny(nullptr, 1); }).text, "Read has been interrupted");
  EXPECT_EQ(log_.Count("T: Pong"), 0) << "the loop ended at the bad reset";
}

TEST_F(ScriptedDispatcherTest, ClientSlotClosedFirstHereAnswersThePeersResetAtOnce) {
  std::optional<Dispatcher::Stream2> client(dispatcher_->OpenStream(SlotId(1)));
  client.reset();
  EXPECT_EQ(log_.Count("Client slot=1 closed"), 1);
  EXPECT_TRUE(wire_->Frames().empty()) << "a client end going first stays silent";

  Run({FrameBytes(1, "")});
  const std::vector<Frame> frames = wire_->FramesWithoutPings();
  EXPECT_THAT(SlotsAndPayloads(frames), ElementsAre(Pair(0, "")));
  EXPECT_TRUE(AllFlushed(frames));
  EXPECT_EQ(log_.CountContaining("Error: "), 0);

  // Data for the closed slot is a protocol violation: the loop ends.
  Run({FrameBytes(1, "late") + FrameBytes(kPing, "")});
  EXPECT_EQ(ErrorLines("Unexpected packet to passive slot"), 1);
  EXPECT_EQ(log_.Count("T: Pong"), 0);
  // The number is free again on this side.
  Dispatcher::Stream2 reopened = dispatcher_->OpenStream(SlotId(1));
}

TEST_F(ScriptedDispatcherTest, ClientSlotResetFirstByThePeerIsStoppedAndConfirmedOnClose) {
  std::optional<Dispatcher::Stream2> client(dispatcher_->OpenStream(SlotId(1)));
  Run({FrameBytes(1, "")});
  EXPECT_TRUE(wire_->FramesWithoutPings().empty()) << "the confirmation waits for the local close";
  const auto read = CatchError([&] {
    char c;
    client->ReadAny(&c, 1);
  });
  EXPECT_EQ(read.code, E_INTR);
  EXPECT_EQ(read.text, "Read has been interrupted");

  client.reset();
  EXPECT_EQ(log_.Count("Client slot=1 reported cleanup to remote"), 1);
  EXPECT_THAT(SlotsAndPayloads(wire_->FramesWithoutPings()), ElementsAre(Pair(0, "")));
}

// Each case starts with server slot 0 and client slot 1 open.
struct LoopCase {
  const char* name;
  std::vector<std::string> script;
  const char* error;                                   // text the loop ends with; "" when it runs to the dead-peer end
  std::vector<std::pair<uint16_t, std::string>> sent;  // frames other than pings
  std::string slot0;                                   // bytes delivered to slot 0
  std::string slot1;
  std::string logged = "";  // a part of some log line
};

std::vector<LoopCase> LoopCases() {
  const std::string big = RandomBytes(11, 65535);
  std::vector<std::string> bigInPieces;
  const std::string bigFrame = FrameBytes(0, big);
  for (size_t at = 0, step = 1; at < bigFrame.size(); at += step, step = step * 3 + 7)
    bigInPieces.push_back(bigFrame.substr(at, step));
  return {
      {"payloads reach their slots, the type byte is ignored",
       {FrameBytes(0, "abc") + FrameBytes(1, "xyz", 7)},
       "",
       {},
       "abc",
       "xyz"},
      {"a frame larger than the read buffer, in odd pieces", bigInPieces, "", {}, big, ""},
      {"a header split over reads",
       {FrameBytes(1, "hello").substr(0, 2), FrameBytes(1, "hello").substr(2)},
       "",
       {},
       "",
       "hello"},
      {"an even slot without stream is skipped and the next frame read",
       {FrameBytes(4, std::string(10, 'z')) + FrameBytes(0, "next")},
       "",
       {},
       "next",
       "",
       " T: Ignored 10 bytes to unused slot=4"},
      {"a ping is answered by exactly one pong", {FrameBytes(kPing, "")}, "", {{kPong, ""}}, "", "", " T: Pong"},
      {"a pong is not answered", {FrameBytes(kPong, "")}, "", {}, "", ""},
      {"data for an odd slot that is not open",
       {FrameBytes(3, "abc") + FrameBytes(kPing, "")},
       "Unexpected packet to passive slot",
       {},
       "",
       "",
       "Text: \"Unexpected packet to passive slot\", slot: \"3\""},
      {"a reset for a server slot that is not pending",
       {FrameBytes(4, "") + FrameBytes(kPing, "")},
       "Unexpected number of slots on release",
       {},
       "",
       "",
       " T: RST for slot=4"},
      {"a payload cut short", {FrameBytes(0, "0123456789").substr(0, 9)}, "End of stream reached", {}, "", ""},
      {"a header cut short", {FrameBytes(0, "ab").substr(0, 3)}, "End of stream reached", {}, "", ""},
  };
}

TEST_F(ScriptedDispatcherTest, ReadingLoopHandlesEachKindOfFrame) {
  for (const LoopCase& c : LoopCases()) {
    SCOPED_TRACE(c.name);
    testutil::LogWatch log;
    Make(true);
    Dispatcher::Stream2 slot0 = Create(0);
    Dispatcher::Stream2 slot1 = dispatcher_->OpenStream(SlotId(1));
    Run(c.script);

    if (*c.error != '\0') {
      EXPECT_EQ(log.CountContaining(std::string("Text: \"") + c.error + "\""), 1);
      EXPECT_EQ(log.Count("T: Ping"), 0) << "the loop ended at the error";
      EXPECT_THAT(SlotsAndPayloads(wire_->Frames()), ElementsAreArray(c.sent));
    } else {
      EXPECT_EQ(log.CountContaining("Error: "), 0) << testing::PrintToString(log.Lines());
      EXPECT_EQ(log.Count("T: Connection is dead"), 1);
      const std::vector<Frame> sent = wire_->FramesWithoutPings();
      EXPECT_THAT(SlotsAndPayloads(sent), ElementsAreArray(c.sent));
      EXPECT_TRUE(AllFlushed(sent));
    }
    if (!c.logged.empty()) {
      EXPECT_EQ(log.CountContaining(c.logged), 1);
    }
    if (!c.slot0.empty()) {
      EXPECT_TRUE(ReadExactly(slot0, c.slot0.size()) == c.slot0);
    }
    if (!c.slot1.empty()) {
      EXPECT_TRUE(ReadExactly(slot1, c.slot1.size()) == c.slot1);
    }
  }
}

struct TimingCase {
  const char* name;
  bool super;
  std::vector<std::string> script;
  std::vector<uint32_t> timeouts;  // of every read of the connection
  int pings;
};

// The real values, seen through the time-outs the loop asks the connection
// for: with `super` a silent peer is pinged at 16 s, 18 s and 20 s after its
// last frame and given up at 22 s; without, at 16.4 s, 18.8 s, 21.2 s and
// 23.6 s. Any frame resets the count; the rest of a frame waits 16 s.
TEST_F(ScriptedDispatcherTest, DeadPeerSequenceUsesTheRealTimings) {
  const std::string ping = FrameBytes(kPing, "");
  const std::vector<TimingCase> cases = {
      {"silent peer, super", true, {}, {16000, 2000, 2000, 2000}, 3},
      {"silent peer, not super", false, {}, {16400, 2400, 2400, 2400}, 3},
      {"a pong after two misses starts again",
       true,
       {"", "", FrameBytes(kPong, "")},
       {16000, 2000, 2000, 16000, 2000, 2000, 2000},
       5},
      {"the rest of a frame waits the frame time-out",
       false,
       {ping.substr(0, 1), ping.substr(1)},
       {16400, 16000, 16400, 2400, 2400, 2400},
       3},
  };
  for (const TimingCase& c : cases) {
    SCOPED_TRACE(c.name);
    testutil::LogWatch log;
    Make(c.super);
    Run(c.script);
    std::vector<uint32_t> timeouts;
    for (TimeoutMs t : wire_->ReadTimeouts()) timeouts.push_back(t.value);
    EXPECT_THAT(timeouts, ElementsAreArray(c.timeouts));
    const std::vector<Frame> frames = wire_->Frames();
    int pings = 0;
    for (const Frame& f : frames) pings += f.slot == kPing && f.payload.empty() && f.flushed;
    EXPECT_EQ(pings, c.pings);
    // The last four reads are the final silence: pinged three times, then dead.
    const std::vector<std::string> messages = log.Messages();
    ASSERT_GE(messages.size(), 7u);
    EXPECT_THAT(std::vector<std::string>(messages.end() - 7, messages.end()),
                ElementsAre("T: Ping", "T: Missed 2 pings", "T: Ping", "T: Missed 3 pings", "T: Ping",
                            "T: Missed 4 pings", "T: Connection is dead"));
  }
  for (bool super : {true, false}) {
    const DispatcherLimits limits = DefaultDispatcherLimits(super);
    EXPECT_EQ(limits.idleWait.value + 3 * limits.pingInterval.value, super ? 22000u : 23600u);
    EXPECT_EQ(limits.slotQueueLimit, int64_t{256} << 20);
  }
}

// A peer that keeps sending to a slot nobody reads must not fill our memory:
// the loop ends with an error once a slot's unread bytes would pass the
// limit (lowered here from 256 MiB).
TEST_F(ScriptedDispatcherTest, SlotQueueLimitEndsTheReadingLoop) {
  constexpr int64_t kLimit = 2 * 65535;
  Make(true, DispatcherLimits{TimeoutMs(16000), TimeoutMs(2000), TimeoutMs(16000), kLimit});
  Dispatcher::Stream2 slot0 = Create(0);
  const std::string a = RandomBytes(Seed(), 65535), b = RandomBytes(Seed() + 1, 65535);
  Run({FrameBytes(0, a), FrameBytes(0, b), FrameBytes(0, "x"), FrameBytes(kPing, "")});

  EXPECT_EQ(
      log_.CountContaining("Code: E_NOBUFS, Text: \"Too much unread data for slot\", slot: \"0\", queued: \"131070\", "
                           "length: \"1\", limit: \"131070\""),
      1)
      << testing::PrintToString(log_.Lines());
  EXPECT_EQ(log_.Count("T: Pong"), 0) << "the loop ended at the frame over the limit";
  EXPECT_TRUE(ReadExactly(slot0, 2 * 65535) == a + b) << "up to the limit everything was delivered";
}

TEST_F(ScriptedDispatcherTest, LargeWriteIsCutIntoFramesOfAtMost65535Bytes) {
  Dispatcher::Stream2 slot0 = Create(0);
  const std::string data = RandomBytes(Seed(), 150000);
  slot0.Write(data.data(), static_cast<int64_t>(data.size()));

  const std::vector<Frame> frames = wire_->Frames();
  ASSERT_EQ(frames.size(), 3u);
  std::string joined;
  for (const Frame& f : frames) {
    EXPECT_EQ(f.slot, 1) << "addressed with the receiver's number";
    EXPECT_EQ(f.type, 0);
    EXPECT_TRUE(f.flushed);
    joined += f.payload;
  }
  EXPECT_EQ(frames[0].payload.size(), 65535u);
  EXPECT_EQ(frames[1].payload.size(), 65535u);
  EXPECT_EQ(frames[2].payload.size(), 18930u);
  EXPECT_TRUE(joined == data);
}

TEST_F(ScriptedDispatcherTest, SmallWritesAreCoalescedIntoOneFrame) {
  Dispatcher::Stream2 client = dispatcher_->OpenStream(SlotId(7));
  for (const char* piece : {"0123456789", "abcdefghij", "ABCDEFGHIJ"}) client.Write(piece, 10);
  EXPECT_TRUE(wire_->Frames().empty()) << "nothing leaves before a Flush";
  client.Flush();
  EXPECT_THAT(SlotsAndPayloads(wire_->Frames()), ElementsAre(Pair(6, "0123456789abcdefghijABCDEFGHIJ")));
  EXPECT_TRUE(AllFlushed(wire_->Frames()));

  // A write that does not fit takes the coalesced bytes with it, one frame.
  const std::string large = RandomBytes(Seed(), 2000);
  client.Write("0123456789", 10);
  client.Write(large.data(), 2000);
  const std::vector<Frame> frames = wire_->Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_TRUE(frames[1].payload == "0123456789" + large);
  EXPECT_TRUE(frames[1].flushed);
  client.Flush();
  EXPECT_EQ(wire_->Frames().size(), 2u) << "an empty Flush sends no frame (length 0 would be a reset)";
}

// Random gather lists, with empty elements and elements that span frames:
// frames are full but for the last, and carry the bytes in order.
TEST_F(ScriptedDispatcherTest, GatherListsAreFramedInOrder) {
  Dispatcher::Stream2 slot0 = Create(0);
  std::mt19937 random(Seed());
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    const size_t before = wire_->Frames().size();
    const std::string data = RandomBytes(random(), random() % 300000);
    std::vector<Iovec> list;
    size_t at = 0;
    while (at < data.size()) {
      const size_t wanted = random() % 4 == 0 ? 0 : random() % 90000;
      const size_t n = std::min(data.size() - at, wanted);
      list.push_back({data.data() + at, static_cast<int64_t>(n)});
      at += n;
    }
    list.push_back({data.data() + at, 0});
    slot0.Writev(list.data(), static_cast<int>(list.size()));
    slot0.Flush();
    const std::vector<Frame> all = wire_->Frames();
    const std::vector<Frame> frames(all.begin() + static_cast<long>(before), all.end());
    std::string joined;
    for (size_t i = 0; i < frames.size(); ++i) {
      joined += frames[i].payload;
      EXPECT_FALSE(frames[i].payload.empty());
      if (i + 1 < frames.size() && data.size() > 1024) {
        EXPECT_EQ(frames[i].payload.size(), 65535u);
      }
    }
    EXPECT_TRUE(joined == data) << data.size() << " bytes in " << list.size() << " elements";
  }
}

TEST_F(ScriptedDispatcherTest, TwoThreadsWritingToTwoSlotsProduceIntactFrames) {
  Dispatcher::Stream2 server = Create(0);                           // frames to 1
  Dispatcher::Stream2 client = dispatcher_->OpenStream(SlotId(3));  // frames to 2
  const std::string data0 = RandomBytes(Seed(), 100000), data1 = RandomBytes(Seed() + 1, 100000);
  std::latch start(2);
  const auto writer = [&start](Dispatcher::Stream2& stream, const std::string& data, uint32_t seed) {
    std::mt19937 random(seed);
    start.arrive_and_wait();
    for (size_t at = 0; at < data.size();) {
      const size_t n = std::min<size_t>(data.size() - at, 1 + random() % 3000);
      stream.Write(data.data() + at, static_cast<int64_t>(n));
      at += n;
    }
    stream.Flush();
  };
  std::thread t0(writer, std::ref(server), std::cref(data0), Seed());
  std::thread t1(writer, std::ref(client), std::cref(data1), Seed() + 2);
  t0.join();
  t1.join();

  std::string got1, got2;
  for (const Frame& f : wire_->Frames()) {
    ASSERT_TRUE(f.slot == 1 || f.slot == 2) << f.slot;
    EXPECT_TRUE(f.flushed);
    (f.slot == 1 ? got1 : got2) += f.payload;
  }
  EXPECT_TRUE(got1 == data0);
  EXPECT_TRUE(got2 == data1);
}

struct ApiErrorCase {
  const char* name;
  std::function<void(Dispatcher&, std::vector<Dispatcher::Stream2>&)> action;
  uint32_t code;
  const char* text;
  testutil::DetailPairs details;
};

TEST_F(ScriptedDispatcherTest, RefusedCreationsAndOpenings) {
  const std::vector<ApiErrorCase> cases = {
      {"open an even slot",
       [](Dispatcher& d, auto&) { d.OpenStream(SlotId(4)); },
       E_INVAL,
       "Invalid slot number for client endpoint",
       {{"slot", "4"}}},
      {"open the pong number",
       [](Dispatcher& d, auto&) { d.OpenStream(SlotId(kPong)); },
       E_INVAL,
       "Invalid slot number for client endpoint",
       {{"slot", "65521"}}},
      {"open an open slot",
       [](Dispatcher& d, auto& held) {
         held.push_back(d.OpenStream(SlotId(5)));
         d.OpenStream(SlotId(5));
       },
       E_BUSY,
       "Slot is in use",
       {{"slot", "5"}}},
      {"create after Stop",
       [](Dispatcher& d, auto&) {
         d.Stop();
         SlotId slot;
         d.CreateStream(slot);
       },
       E_BUSY,
       "Dispatcher is stopped",
       {}},
      {"open after Stop",
       [](Dispatcher& d, auto&) {
         d.Stop();
         d.OpenStream(SlotId(1));
       },
       E_BUSY,
       "Dispatcher is stopped",
       {}},
  };
  for (const ApiErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    Make(true);
    std::vector<Dispatcher::Stream2> held;
    const auto caught = CatchError([&] { c.action(*dispatcher_, held); });
    EXPECT_TRUE(caught.thrown);
    EXPECT_EQ(Error::CodeText(caught.code), Error::CodeText(c.code)) << caught.full;
    EXPECT_EQ(caught.text, c.text);
    EXPECT_EQ(caught.details, c.details);
    // A refusal leaves the dispatcher usable (unless it was stopped).
    if (c.code != E_BUSY || std::string(c.text) != "Dispatcher is stopped") Create(0);
  }
  EXPECT_EQ(log_.Count("T: Stop"), 2);
}

TEST_F(ScriptedDispatcherTest, StoppedDispatcherDoesNotRead) {
  dispatcher_->Stop();
  EXPECT_EQ(wire_->Stops(), 1) << "Stop stops the connection";
  Run({FrameBytes(kPing, "")});
  EXPECT_TRUE(wire_->ReadTimeouts().empty());
  EXPECT_TRUE(wire_->Frames().empty());
}

// 32760 server slots (0..65518) exist; the counter never passes the ping
// number or wraps to numbers in use, and a confirmed slot comes back.
TEST_F(ScriptedDispatcherTest, SlotNumbersRunOutAndComeBackAfterConfirmation) {
  std::vector<std::optional<Dispatcher::Stream2>> streams;
  streams.reserve(32760);
  SlotId slot;
  for (int i = 0; i < 32760; ++i) streams.emplace_back(dispatcher_->CreateStream(slot));
  EXPECT_EQ(slot.value, 65518);
  for (int attempt = 0; attempt < 10; ++attempt) {
    const auto caught = CatchError([&] { dispatcher_->CreateStream(slot); });
    EXPECT_EQ(caught.code, E_NOENT);
    EXPECT_EQ(caught.text, "No more slots available");
  }
  streams[5].reset();  // slot 10
  Run({FrameBytes(10, "")});
  std::optional<Dispatcher::Stream2> reused(dispatcher_->CreateStream(slot));
  EXPECT_EQ(slot.value, 10);
  EXPECT_EQ(CatchError([&] { dispatcher_->CreateStream(slot); }).text, "No more slots available");
}

TEST_F(ScriptedDispatcherTest, MovedHandleOwnsTheSlotAndTheSourceIsEmpty) {
  std::optional<Dispatcher::Stream2> source(Create(0));
  source->SetTimeout(TimeoutMs(1234));
  std::optional<Dispatcher::Stream2> target(std::move(*source));
  EXPECT_FALSE(source->Valid());
  EXPECT_TRUE(target->Valid());
  EXPECT_EQ(target->GetTimeout(kDefaultTimeout).value, 1234u);
  const auto caught = CatchError([&] { source->Write("x", 1); });
  EXPECT_EQ(caught.code, E_BADF);
  EXPECT_EQ(caught.text, "Object doesn't exist");

  source.reset();
  EXPECT_TRUE(wire_->Frames().empty()) << "an empty handle deletes nothing";
  target->Write("abc", 3);
  target->Flush();
  target.reset();
  EXPECT_THAT(SlotsAndPayloads(wire_->Frames()), ElementsAre(Pair(1, "abc"), Pair(1, "")));
}

TEST_F(ScriptedDispatcherTest, HandleOutlivingItsDispatcherFailsAndIsSafeToDestroy) {
  std::optional<Dispatcher::Stream2> stream(Create(0));
  std::shared_ptr<Link<Dispatcher>> link = dispatcher_->GetLink();
  dispatcher_.reset();
  EXPECT_TRUE(link->Revoked());

  const std::vector<std::pair<const char*, std::function<void()>>> calls = {
      {"Write", [&] { stream->Write("x", 1); }},
      {"Flush", [&] { stream->Flush(); }},
      {"ReadAny",
       [&] {
         char c;
         stream->ReadAny(&c, 1);
       }},
      {"Stop", [&] { stream->Stop(); }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    const auto caught = CatchError(call);
    EXPECT_EQ(caught.code, E_BADF);
    EXPECT_EQ(caught.text, "Object doesn't exist");
  }
  stream.reset();
  EXPECT_EQ(log_.CountContaining("Error: Code: E_BADF, Text: \"Object doesn't exist\""), 1);
  EXPECT_TRUE(wire_->Frames().empty());
}

// The destructor stops the slot streams before it cuts their links, so a
// reader blocked on a slot is released instead of holding the destruction.
TEST_F(ScriptedDispatcherTest, DestroyingTheDispatcherReleasesABlockedReader) {
  Dispatcher::Stream2 stream = Create(0);
  Run({FrameBytes(0, "a")});
  std::promise<void> gotFirst;
  auto reader = std::async(std::launch::async, [&] {
    char c;
    stream.Read(&c, 1);
    gotFirst.set_value();
    return CatchError([&] { stream.Read(&c, 1); });
  });
  gotFirst.get_future().wait();
  auto destroying = std::async(std::launch::async, [&] { dispatcher_.reset(); });
  if (destroying.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "destruction waits for the blocked reader";
    stream.Stop();  // lets the test end
  }
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const auto caught = reader.get();
  // Blocked before the destruction: interrupted; arriving after it: gone.
  EXPECT_TRUE((caught.code == E_INTR && caught.text == "Read has been interrupted") ||
              (caught.code == E_BADF && caught.text == "Object doesn't exist"))
      << caught.full;
}

// A sink that fails its n-th Writev once, then records like any other.
class FailingSink : public NonCopyable, public virtual ByteSink {
 public:
  explicit FailingSink(int failAt) : failAt_(failAt) {}
  void Writev(const Iovec* iov, int count) override {
    if (++calls_ == failAt_) OST_THROW(Error(E_PIPE, "injected").Add("injected", "1"));
    for (int i = 0; i < count; ++i) bytes.append(static_cast<const char*>(iov[i].data), iov[i].length);
  }
  void Flush() override {}
  std::string bytes;

 private:
  const int failAt_;
  int calls_ = 0;
};

// The frame lock is released however a frame ends (a failed header write, a
// failed payload write, a payload longer than announced), so the next frame
// can be written; a longer payload is refused before any of it goes out.
TEST(SharedSinkTest, FrameLockIsReleasedOnEveryFailure) {
  struct Case {
    const char* name;
    int failAt;
    std::string payload;  // written after a header announcing 3 bytes
    const char* text;
    std::string left;  // bytes on the sink after the failure
  };
  const Case cases[] = {
      {"header write fails", 1, "abc", "injected", ""},
      {"payload write fails", 2, "abc", "injected", FrameBytes(9, "").substr(0, 3) + std::string("\3\0", 2)},
      {"payload longer than announced", 0, "abcd", "Frame payload exceeds announced length",
       FrameBytes(9, "").substr(0, 3) + std::string("\3\0", 2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FailingSink out(c.failAt);
    SharedSink shared(out);
    const auto caught = CatchError([&] {
      SharedSink::Writer frame(shared, SlotId(9), 3);
      frame.Write(c.payload.data(), static_cast<int64_t>(c.payload.size()));
    });
    EXPECT_EQ(caught.text, c.text) << caught.full;
    EXPECT_EQ(out.bytes, c.left);
    // Would block for ever if the lock had been kept.
    ChunkedSink(shared, SlotId(5)).Write("xyz", 3);
    EXPECT_EQ(out.bytes, c.left + FrameBytes(5, "xyz"));
  }
}

// A slot's queue takes a page per 65536 bytes and gives it back once read;
// the pool hands given-back pages out again and keeps no more than its
// limit idle.
TEST(PagePoolTest, GivenBackPagesAreReusedUpToTheIdleLimit) {
  PagePool pool(4096, 2);
  std::set<char*> handedOut;
  {
    std::vector<Buffer> pages;
    for (int i = 0; i < 4; ++i) {
      pages.push_back(pool.Alloc());
      EXPECT_EQ(pages.back().Size(), 4096);
      handedOut.insert(pages.back().Data());
    }
    EXPECT_EQ(pool.Idle(), 0);
  }
  EXPECT_EQ(pool.Idle(), 2) << "two of the four are kept";
  Buffer a = pool.Alloc(), b = pool.Alloc();
  EXPECT_EQ(pool.Idle(), 0);
  EXPECT_EQ(handedOut.count(a.Data()) + handedOut.count(b.Data()), 2u);
  Buffer fresh = pool.Alloc();
  EXPECT_EQ(fresh.Size(), 4096);
  EXPECT_EQ(CatchError([] { PagePool(0, 1); }).text, "Invalid buffer size");
}

}  // namespace
}  // namespace OST
