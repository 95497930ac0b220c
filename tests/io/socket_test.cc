#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/error.h"
#include "io/hostname.h"
#include "io/socket.h"

namespace OST {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr IpAddr kLoopback{0x7F000001};

// The Error that `action` throws; a test failure when it throws none.
Error ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& e) {
    return e;
  }
  ADD_FAILURE() << "no error was thrown";
  return Error(E_OK, "no error");
}

void ExpectError(const Error& e, uint32_t code, const std::string& text) {
  EXPECT_EQ(Error::CodeText(e.Code()), Error::CodeText(code)) << e.FullText(',');
  EXPECT_EQ(e.Text(), text) << e.FullText(',');
}

std::string Detail(const Error& e, const std::string& name) {
  for (const auto& [key, value] : e.Pairs()) {
    if (key == name) return value;
  }
  return "";
}

// True when some socket of this host is connecting (SYN_SENT) to
// 127.0.0.1:port.
bool SynSentTo(IpPort port) {
  std::ifstream table("/proc/net/tcp");
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port.value);
  std::string line;
  std::getline(table, line);  // header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (remote == wanted && state == "02") return true;
  }
  return false;
}

// Polls the kernel's connection table until `wanted` holds, at most 5 s.
bool WaitForSynSent(IpPort port, bool wanted) {
  const auto end = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < end) {
    if (SynSentTo(port) == wanted) return true;
    std::this_thread::sleep_for(milliseconds(2));
  }
  return false;
}

class SocketTest : public ::testing::Test {
 protected:
  // A listener on an ephemeral port, a client connected to it and the
  // accepted end.
  void ConnectPair() {
    server_ = std::make_unique<ServerSocket>(IpPort(0), 8);
    port_ = server_->BoundPort();
    client_ = connector_.Connect(kLoopback, port_, TimeoutMs(5000));
    accepted_ = server_->Accept();
  }

  std::unique_ptr<ServerSocket> server_;
  IpPort port_;
  ConnectSocket connector_;
  std::unique_ptr<DataSocket> client_;
  std::unique_ptr<DataSocket> accepted_;
};

TEST_F(SocketTest, ConnectedPairCarriesDataBothWaysWithPeerAddresses) {
  ConnectPair();
  EXPECT_EQ(server_->Port(), IpPort(0));
  EXPECT_NE(port_, IpPort(0));
  EXPECT_EQ(client_->PeerAddr(), kLoopback);
  EXPECT_EQ(client_->PeerPort(), port_);
  EXPECT_EQ(accepted_->PeerAddr(), kLoopback);
  EXPECT_NE(accepted_->PeerPort(), IpPort(0));

  client_->Write("ping", 4);
  char buffer[8];
  accepted_->Read(buffer, 4);
  EXPECT_EQ(std::string(buffer, 4), "ping");
  accepted_->Write("pong!", 5);
  client_->Read(buffer, 5);
  EXPECT_EQ(std::string(buffer, 5), "pong!");
}

TEST_F(SocketTest, TimedReadReturnsZeroWhenNothingArrives) {
  ConnectPair();
  char buffer[8];
  EXPECT_EQ(accepted_->ReadTimed(buffer, 8, TimeoutMs(0)), 0);
  auto start = Clock::now();
  EXPECT_EQ(accepted_->ReadTimed(buffer, 8, TimeoutMs(50)), 0);
  EXPECT_GE(Clock::now() - start, milliseconds(50));
  accepted_->SetTimeout(TimeoutMs(30));  // the default replaces kDefaultTimeout
  start = Clock::now();
  EXPECT_EQ(accepted_->ReadAny(buffer, 8), 0);
  EXPECT_GE(Clock::now() - start, milliseconds(30));
}

TEST_F(SocketTest, StopWinsOverWaitingDataForGood) {
  ConnectPair();
  client_->Write("abcdefgh", 8);
  char buffer[8];
  ASSERT_EQ(accepted_->ReadTimed(buffer, 1, TimeoutMs(5000)), 1);  // the segment has arrived
  accepted_->Stop();
  for (int i = 0; i < 2; ++i) {
    ExpectError(ErrorOf([&] { accepted_->ReadTimed(buffer, 8, TimeoutMs(5000)); }), E_INTR,
                "Read has been interrupted");
  }
}

TEST_F(SocketTest, StopFromAnotherThreadEndsBlockedRead) {
  ConnectPair();
  auto read = std::async(std::launch::async, [&] {
    char buffer[8];
    return accepted_->ReadAny(buffer, 8);  // default time-out: no practical limit
  });
  EXPECT_EQ(read.wait_for(milliseconds(50)), std::future_status::timeout);
  accepted_->Stop();
  ExpectError(ErrorOf([&] { read.get(); }), E_INTR, "Read has been interrupted");
}

TEST_F(SocketTest, PeerCloseReadsAsEnd) {
  ConnectPair();
  client_->Write("xy", 2);
  client_.reset();
  char buffer[8];
  accepted_->Read(buffer, 2);  // data sent before the close still arrives
  EXPECT_EQ(std::string(buffer, 2), "xy");
  EXPECT_EQ(accepted_->ReadTimed(buffer, 8, TimeoutMs(5000)), 0);
  ExpectError(ErrorOf([&] { accepted_->Read(buffer, 1); }), E_PIPE, "End of stream reached");
}

// 10 MB in one gather write of odd-sized (some empty) pieces, to a reader
// that takes small bites: the send buffer fills, the write goes through
// partial writes and waits, and every byte arrives once and in order.
TEST_F(SocketTest, LargeGatherWriteArrivesWholeAtSlowReader) {
  ConnectPair();
  std::mt19937 random(::testing::UnitTest::GetInstance()->random_seed());
  constexpr int64_t kTotal = 10 * 1024 * 1024;
  std::string data(kTotal, '\0');
  for (char& c : data) c = static_cast<char>(random());
  std::vector<Iovec> pieces;
  for (int64_t at = 0; at < kTotal;) {
    const int64_t n = std::min<int64_t>(kTotal - at, random() % 200000);
    pieces.push_back({data.data() + at, n});
    at += n;
  }
  auto write = std::async(std::launch::async, [&] { client_->Writev(pieces.data(), static_cast<int>(pieces.size())); });
  std::string got;
  got.reserve(kTotal);
  std::vector<char> buffer(1500);
  while (static_cast<int64_t>(got.size()) < kTotal) {
    const int64_t n = accepted_->ReadTimed(buffer.data(), static_cast<int64_t>(buffer.size()), TimeoutMs(10000));
    ASSERT_GT(n, 0) << "stalled after " << got.size();
    got.append(buffer.data(), n);
  }
  write.get();
  EXPECT_TRUE(got == data) << "received bytes differ";
  char extra;
  EXPECT_EQ(accepted_->ReadTimed(&extra, 1, TimeoutMs(0)), 0);
}

// Lists without bytes return at once; lists longer than the kernel takes in
// one call are sent in several.
TEST_F(SocketTest, GatherListsOfAnyShape) {
  ConnectPair();
  client_->Writev(nullptr, 0);
  const Iovec empty[] = {{"", 0}, {"a", 0}};
  client_->Writev(empty, 2);
  std::vector<std::string> texts;
  std::vector<Iovec> many;
  std::string expected;
  for (int i = 0; i < 3000; ++i) texts.push_back(std::to_string(i) + ",");
  for (const std::string& t : texts) {
    many.push_back({t.data(), static_cast<int64_t>(t.size())});
    expected += t;
  }
  client_->Writev(many.data(), static_cast<int>(many.size()));
  std::string got(expected.size(), '\0');
  accepted_->Read(got.data(), static_cast<int64_t>(got.size()));
  EXPECT_EQ(got, expected);
  char extra;
  EXPECT_EQ(accepted_->ReadTimed(&extra, 1, TimeoutMs(0)), 0);
}

// No SocketInit here: a vanished peer gives an Error, never the signal.
TEST_F(SocketTest, WriteToVanishedPeerFails) {
  ConnectPair();
  accepted_.reset();
  server_.reset();
  const std::string chunk(65536, 'z');
  std::optional<Error> failure;
  for (int i = 0; i < 1000 && !failure; ++i) {
    try {
      client_->Write(chunk.data(), static_cast<int64_t>(chunk.size()));
    } catch (const Error& e) {
      failure.emplace(e);
    }
  }
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->Text(), "Could not write socket");
  EXPECT_THAT(Error::CodeText(failure->Code()), ::testing::AnyOf("E_PIPE", "E_CONNRESET"));
  EXPECT_EQ(Detail(*failure, "function"), "write");
}

TEST_F(SocketTest, StopEndsWriteThatWaitsForAPeerThatNeverReads) {
  ConnectPair();
  const std::string data(32 * 1024 * 1024, 'w');
  auto write = std::async(std::launch::async, [&] { client_->Write(data.data(), static_cast<int64_t>(data.size())); });
  EXPECT_EQ(write.wait_for(milliseconds(100)), std::future_status::timeout);
  client_->Stop();
  ASSERT_EQ(write.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  ExpectError(ErrorOf([&] { write.get(); }), E_INTR, "Write has been interrupted");
}

TEST_F(SocketTest, AcceptInterruptedByStopForGood) {
  server_ = std::make_unique<ServerSocket>(IpPort(0), 8);
  auto accept = std::async(std::launch::async, [&] { return server_->Accept(); });
  EXPECT_EQ(accept.wait_for(milliseconds(50)), std::future_status::timeout);
  server_->Stop();
  ExpectError(ErrorOf([&] { accept.get(); }), E_INTR, "Accept has been interrupted");
  client_ = connector_.Connect(kLoopback, server_->BoundPort(), TimeoutMs(5000));  // one waits now
  ExpectError(ErrorOf([&] { server_->Accept(); }), E_INTR, "Accept has been interrupted");
}

TEST_F(SocketTest, ListeningOnABusyPortFails) {
  server_ = std::make_unique<ServerSocket>(IpPort(0), 8);
  const Error e = ErrorOf([&] { ServerSocket second(server_->BoundPort(), 8); });
  ExpectError(e, E_ADDRINUSE, "Could not bind socket to address");
  EXPECT_EQ(Detail(e, "function"), "bind");
}

TEST_F(SocketTest, ConnectToClosedPortIsRefused) {
  IpPort closed;
  {
    ServerSocket gone(IpPort(0), 1);
    closed = gone.BoundPort();
  }
  const Error e = ErrorOf([&] { connector_.Connect(kLoopback, closed, TimeoutMs(5000)); });
  ExpectError(e, E_CONNREFUSED, "Could not connect socket");
  EXPECT_EQ(Detail(e, "function"), "connect");
}

// A listener with a queue of 0 whose queue is full (connections that are
// never accepted): the next connection is never completed.
class FullBacklogTest : public SocketTest {
 protected:
  static constexpr TimeoutMs kShort{300};

  // Connects fillers until one times out; returns that attempt's error.
  Error FillQueue() {
    server_ = std::make_unique<ServerSocket>(IpPort(0), 0);
    port_ = server_->BoundPort();
    for (int i = 0; i < 8; ++i) {
      try {
        fillers_.push_back(connector_.Connect(kLoopback, port_, kShort));
      } catch (const Error& e) {
        return e;
      }
    }
    ADD_FAILURE() << "the listener's queue never filled";
    return Error(E_OK, "");
  }

  std::vector<std::unique_ptr<DataSocket>> fillers_;
};

TEST_F(FullBacklogTest, ConnectTimesOut) {
  const auto start = Clock::now();
  const Error e = FillQueue();
  ExpectError(e, E_TIMEDOUT, "Connection timed out");
  EXPECT_GE(Clock::now() - start, milliseconds(kShort.value));
  EXPECT_FALSE(fillers_.empty());
}

// A stop during the wait ends the attempt at once and stays in the pipe, so
// the next attempt fails too; that one consumes it.
TEST_F(FullBacklogTest, StopDuringWaitInterruptsThisAndNextConnect) {
  if (!std::ifstream("/proc/net/tcp")) GTEST_SKIP() << "no /proc/net/tcp to see the attempt under way";
  ExpectError(FillQueue(), E_TIMEDOUT, "Connection timed out");
  ASSERT_TRUE(WaitForSynSent(port_, false));
  const auto start = Clock::now();
  auto connect = std::async(std::launch::async, [&] { connector_.Connect(kLoopback, port_, TimeoutMs(30000)); });
  ASSERT_TRUE(WaitForSynSent(port_, true));  // the attempt is under way
  connector_.Stop();
  ASSERT_EQ(connect.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  ExpectError(ErrorOf([&] { connect.get(); }), E_INTR, "Connect has been interrupted");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));

  ServerSocket open(IpPort(0), 8);
  ExpectError(ErrorOf([&] { connector_.Connect(kLoopback, open.BoundPort(), TimeoutMs(5000)); }), E_INTR,
              "Connect has been interrupted");
  EXPECT_NE(connector_.Connect(kLoopback, open.BoundPort(), TimeoutMs(5000)), nullptr);
}

TEST_F(SocketTest, StopBeforeConnectIsConsumedByOneAttempt) {
  server_ = std::make_unique<ServerSocket>(IpPort(0), 8);
  connector_.Stop();
  ExpectError(ErrorOf([&] { connector_.Connect(kLoopback, server_->BoundPort(), TimeoutMs(5000)); }), E_INTR,
              "Connect has been interrupted");
  client_ = connector_.Connect(kLoopback, server_->BoundPort(), TimeoutMs(5000));
  accepted_ = server_->Accept();
  client_->Write("ok", 2);
  char buffer[2];
  accepted_->Read(buffer, 2);
  EXPECT_EQ(std::string(buffer, 2), "ok");
}

// Descriptors beyond the old select limit of 1024: waits, stops and data
// work as for low numbers.
TEST_F(SocketTest, DescriptorsAbove1024Work) {
  // Holds low descriptors so that the sockets get high ones; gives back
  // descriptors and limit also when the test fails.
  struct Fillers {
    ~Fillers() {
      for (int fd : fds) close(fd);
      setrlimit(RLIMIT_NOFILE, &saved);
    }
    std::vector<int> fds;
    rlimit saved{};
  } fillers;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &fillers.saved), 0);
  rlimit limit = fillers.saved;
  if (limit.rlim_cur < 1200 && limit.rlim_max >= 1200) {
    limit.rlim_cur = 1200;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  if (limit.rlim_cur < 1200) GTEST_SKIP() << "descriptor limit below 1200";
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(null, 0);
  fillers.fds.push_back(null);
  while (fillers.fds.back() < 1050 && fillers.fds.size() < 1100) {
    const int fd = fcntl(null, F_DUPFD_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    fillers.fds.push_back(fd);
  }
  ASSERT_GE(fillers.fds.back(), 1024);

  ConnectPair();
  client_->Write("high", 4);
  char buffer[4];
  EXPECT_EQ(accepted_->ReadTimed(buffer, 4, TimeoutMs(5000)), 4);
  EXPECT_EQ(accepted_->ReadTimed(buffer, 4, TimeoutMs(10)), 0);
  accepted_->Stop();
  ExpectError(ErrorOf([&] { accepted_->ReadTimed(buffer, 4, TimeoutMs(5000)); }), E_INTR,
              "Read has been interrupted");
  client_.reset();
  accepted_.reset();
  server_.reset();
}

// A full stop pipe is already a stop: more Stops neither block nor fail.
TEST(SignalSocket, StopNeverBlocks) {
  ConnectSocket connector;
  for (int i = 0; i < 70000; ++i) connector.Stop();
  ExpectError(ErrorOf([&] { connector.Connect(kLoopback, IpPort(1), TimeoutMs(1000)); }), E_INTR,
              "Connect has been interrupted");
}

void TestHandler(int) {}

TEST(SocketInit, IgnoresBrokenPipeSignalWhileAlive) {
  struct sigaction previous {};
  struct sigaction mine {};
  mine.sa_handler = TestHandler;
  sigemptyset(&mine.sa_mask);
  ASSERT_EQ(sigaction(SIGPIPE, &mine, &previous), 0);
  {
    SocketInit init;
    struct sigaction now {};
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
  }
  struct sigaction after {};
  ASSERT_EQ(sigaction(SIGPIPE, &previous, &after), 0);
  EXPECT_EQ(after.sa_handler, TestHandler);
}

}  // namespace
}  // namespace OST
