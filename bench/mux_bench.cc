// Throughput of the channel multiplexer over a real 127.0.0.1 connection.
//
// Baselines measured in the same run: the bare socket pair, and the same
// pair through the established-connection cipher (salt 128, keys 521, 523,
// 541). Then two dispatchers over a cipher pair, as in the daemon: one slot,
// and eight slots written and read in parallel. Each iteration carries 64 MiB
// from writer threads to reader threads in 131072-byte writes; the figures
// are wall-clock rates. The closing lines give each rate as a share of the
// bare socket's.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/error.h"
#include "io/job.h"
#include "io/socket.h"
#include "link/shastream.h"
#include "mux/dispatcher.h"

namespace OST {
namespace {

constexpr int64_t kTotal = 64 << 20;  // bytes carried per iteration
constexpr int64_t kChunk = 131072;    // bytes per Write

const std::vector<char>& Source() {
  static const std::vector<char>* const data = [] {
    auto* bytes = new std::vector<char>(kChunk);
    std::mt19937 random(42);
    for (char& c : *bytes) c = static_cast<char>(random());
    return bytes;
  }();
  return *data;
}

// Two connected sockets on 127.0.0.1, optionally each in the cipher.
std::pair<std::unique_ptr<Stream>, std::unique_ptr<Stream>> ConnectedPair(bool cipher) {
  ServerSocket server(IpPort(0), 4);
  ConnectSocket connector;
  std::unique_ptr<Stream> a = connector.Connect(IpAddr(0x7F000001), server.BoundPort(), TimeoutMs(5000));
  std::unique_ptr<Stream> b = server.Accept();
  if (!cipher) return {std::move(a), std::move(b)};
  const std::string key(96, 'k');
  const ShaParams& p = kConnectionCipher;
  return {std::make_unique<ShaStream2>(p.saltSize, std::move(a), key, p.l1, p.l2, p.l3),
          std::make_unique<ShaStream2>(p.saltSize, std::move(b), key, p.l1, p.l2, p.l3)};
}

void WriteAll(Stream& to, int64_t total) {
  const std::vector<char>& data = Source();
  for (int64_t at = 0; at < total; at += kChunk) to.Write(data.data(), std::min(kChunk, total - at));
  to.Flush();
}

// Returns false when the stream ended early.
bool ReadAll(Stream& from, int64_t total) {
  std::vector<char> buffer(kChunk);
  for (int64_t got = 0; got < total;) {
    const int64_t n = from.ReadAny(buffer.data(), std::min(kChunk, total - got));
    if (n <= 0) return false;
    got += n;
  }
  return true;
}

// `count` parallel lanes, each carrying total / count bytes from its writer
// to its reader.
bool CarryParallel(const std::vector<std::pair<Stream*, Stream*>>& lanes, int64_t total) {
  const int64_t share = total / static_cast<int64_t>(lanes.size());
  std::vector<std::thread> threads;
  std::vector<char> ok(lanes.size(), 0);
  for (size_t i = 0; i < lanes.size(); ++i) {
    threads.emplace_back([&, i] { WriteAll(*lanes[i].first, share); });
    threads.emplace_back([&, i] { ok[i] = ReadAll(*lanes[i].second, share); });
  }
  for (std::thread& t : threads) t.join();
  for (char good : ok)
    if (!good) return false;
  return true;
}

void Socket(benchmark::State& state, bool cipher) {
  auto [a, b] = ConnectedPair(cipher);
  b->SetTimeout(TimeoutMs(30000));
  for (auto _ : state) {
    if (!CarryParallel({{a.get(), b.get()}}, kTotal)) {
      state.SkipWithError("the connection ended early");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}

void BareSocket(benchmark::State& state) {
  Socket(state, false);
}
void CipherSocket(benchmark::State& state) {
  Socket(state, true);
}

// Two dispatchers over a cipher pair, each on its own runner; `slots` server
// slots on A with their client ends on B.
void Multiplexer(benchmark::State& state) {
  const int slots = static_cast<int>(state.range(0));
  auto [a, b] = ConnectedPair(true);
  auto dispatcherA = std::make_unique<Dispatcher>(std::move(a), "A", true);
  auto dispatcherB = std::make_unique<Dispatcher>(std::move(b), "B", false);
  std::vector<Dispatcher::Stream2> writers, readers;
  for (int i = 0; i < slots; ++i) {
    SlotId slot;
    writers.push_back(dispatcherA->CreateStream(slot));
    readers.push_back(dispatcherB->OpenStream(Dispatcher::OppositeSlot(slot)));
  }
  SimpleJobRunner runnerA, runnerB;
  runnerA.Run(std::move(dispatcherA));
  runnerB.Run(std::move(dispatcherB));
  std::vector<std::pair<Stream*, Stream*>> lanes;
  for (int i = 0; i < slots; ++i) lanes.emplace_back(&writers[i], &readers[i]);
  for (auto _ : state) {
    if (!CarryParallel(lanes, kTotal)) {
      state.SkipWithError("a slot ended early");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
  // The handles go before the runners stop the dispatchers.
  writers.clear();
  readers.clear();
}

BENCHMARK(BareSocket)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(CipherSocket)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(Multiplexer)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// Prints as usual and keeps each benchmark's bytes per second.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const auto found = run.counters.find("bytes_per_second");
      if (found != run.counters.end() && !run.error_occurred) rates[run.benchmark_name()] = found->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> rates;
};

}  // namespace
}  // namespace OST

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  OST::RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto rate = [&](const std::string& prefix) {
    for (const auto& [name, value] : reporter.rates)
      if (name.rfind(prefix, 0) == 0) return value;
    return 0.0;
  };
  const double bare = rate("BareSocket"), cipher = rate("CipherSocket");
  const double one = rate("Multiplexer/1/"), eight = rate("Multiplexer/8/");
  if (bare <= 0) return 0;
  const double mb = 1e6;
  std::printf("\nbare socket (baseline):          %8.0f MB/s\n", bare / mb);
  std::printf("socket + cipher:                 %8.0f MB/s  %.2f of bare\n", cipher / mb, cipher / bare);
  std::printf("multiplexer, 1 slot (cipher):    %8.0f MB/s  %.2f of bare, %.2f of cipher\n", one / mb, one / bare,
              cipher > 0 ? one / cipher : 0.0);
  std::printf("multiplexer, 8 slots (cipher):   %8.0f MB/s  %.2f of bare, %.2f of cipher\n", eight / mb, eight / bare,
              cipher > 0 ? eight / cipher : 0.0);
  return 0;
}
