// Throughput of the keystream cipher on an established connection: a
// ShaStream writer feeding a ShaStream reader (salt 128, keys 521, 523, 541)
// through a hand-off that copies each piece once, as a socket would. The
// baseline is memcpy of the same bytes between the same buffers, measured in
// the same run; the closing lines give the cost of the cipher in memcpys.
// Writer to reader carries every byte through two copies (into the writer's
// buffer while encrypting, then the hand-off) and one decrypting pass.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/error.h"
#include "link/shastream.h"

namespace OST {
namespace {

constexpr int64_t kTotal = 64 << 20;  // bytes carried per iteration
constexpr int64_t kChunk = 131072;    // bytes per Write, one write buffer

struct Buffers {
  std::vector<char> source;
  std::vector<char> target;
  Buffers() : source(kTotal), target(kTotal) {
    std::mt19937_64 random(42);
    for (char& c : source) c = static_cast<char>(random());
  }
};

Buffers& Data() {
  static Buffers* const data = new Buffers();
  return *data;
}

// Hands each piece that the writer sends straight to the reader, which
// decrypts it into the target buffer. The piece is copied once, from the
// writer's buffer into the target, like the one copy of a socket.
class HandOff : public NonCopyable, public virtual Stream {
 public:
  explicit HandOff(char* target) : target_(target) {}
  void Attach(ShaStream* reader) { reader_ = reader; }
  void Rewind() { written_ = 0; }
  int64_t Delivered() const { return written_; }

  void Writev(const Iovec* iov, int count) override {
    for (int i = 0; i < count; ++i) {
      pending_ = static_cast<const char*>(iov[i].data);
      left_ = iov[i].length;
      while (left_ > 0) {
        const int64_t n = reader_->ReadTimed(target_ + written_, kTotal - written_, TimeoutMs{0});
        written_ += n;
        // A piece that is only a salt block yields no plaintext yet.
        if (n == 0 && left_ > 0) OST_THROW(Error(E_INVAL, "Reader took nothing"));
      }
    }
  }
  int64_t ReadTimed(void* buffer, int64_t length, TimeoutMs) override {
    const int64_t n = std::min(length, left_);
    std::memcpy(buffer, pending_, n);
    pending_ += n;
    left_ -= n;
    return n;
  }
  void Flush() override {}
  void Stop() override {}

 private:
  char* target_;
  ShaStream* reader_ = nullptr;
  const char* pending_ = nullptr;
  int64_t left_ = 0;
  int64_t written_ = 0;
};

void Memcpy(benchmark::State& state) {
  Buffers& data = Data();
  for (auto _ : state) {
    std::memcpy(data.target.data(), data.source.data(), kTotal);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}

// The same bytes in the pieces the stream moves them in.
void MemcpyChunks(benchmark::State& state) {
  Buffers& data = Data();
  for (auto _ : state) {
    for (int64_t at = 0; at < kTotal; at += kChunk) std::memcpy(data.target.data() + at, data.source.data() + at, kChunk);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}

void CipherWriterToReader(benchmark::State& state) {
  Buffers& data = Data();
  const std::string key(64, 'k');
  const ShaParams& p = kConnectionCipher;
  HandOff handOff(data.target.data());
  ShaStream writer(p.saltSize, handOff, key, p.l1, p.l2, p.l3);
  ShaStream reader(p.saltSize, handOff, key, p.l1, p.l2, p.l3);
  handOff.Attach(&reader);
  for (auto _ : state) {
    handOff.Rewind();
    for (int64_t at = 0; at < kTotal; at += kChunk) writer.Write(data.source.data() + at, kChunk);
    benchmark::ClobberMemory();
  }
  if (handOff.Delivered() != kTotal || data.target != data.source) state.SkipWithError("bytes were not carried");
  state.SetBytesProcessed(state.iterations() * kTotal);
}

// Encryption alone: the writer into a sink that only takes the bytes.
void CipherWriter(benchmark::State& state) {
  struct NullSink : public NonCopyable, public virtual Stream {
    int64_t ReadTimed(void*, int64_t, TimeoutMs) override { return 0; }
    void Writev(const Iovec* iov, int count) override {
      for (int i = 0; i < count; ++i) taken += iov[i].length;
    }
    void Flush() override {}
    void Stop() override {}
    int64_t taken = 0;
  } sink;
  Buffers& data = Data();
  const ShaParams& p = kConnectionCipher;
  ShaStream writer(p.saltSize, sink, std::string(64, 'k'), p.l1, p.l2, p.l3);
  for (auto _ : state) {
    for (int64_t at = 0; at < kTotal; at += kChunk) writer.Write(data.source.data() + at, kChunk);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}

// The keystream alone, over one write buffer that stays in cache.
void PadApply(benchmark::State& state) {
  const ShaParams& p = kConnectionCipher;
  ShaPad3 pad(p.l1, p.l2, p.l3, std::string(128, 's'), std::string(64, 'k'));
  std::vector<char> buffer(kChunk, 'x');
  for (auto _ : state) {
    pad.Apply(buffer.data(), kChunk);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kChunk);
}

BENCHMARK(Memcpy)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(MemcpyChunks)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(CipherWriterToReader)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(CipherWriter)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(PadApply)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

// Prints as usual and keeps each benchmark's bytes per second.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const auto found = run.counters.find("bytes_per_second");
      if (found != run.counters.end() && !run.error_occurred) rates[run.run_name.function_name] = found->second.value;
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
  const auto rate = [&](const char* name) {
    const auto found = reporter.rates.find(name);
    return found == reporter.rates.end() ? 0.0 : found->second;
  };
  const double memcpyRate = rate("Memcpy"), pipeline = rate("CipherWriterToReader"), writer = rate("CipherWriter");
  if (memcpyRate <= 0 || pipeline <= 0 || writer <= 0) return 0;
  const double mb = 1e6;
  std::printf("\nmemcpy (baseline):               %8.0f MB/s\n", memcpyRate / mb);
  std::printf("ShaStream writer -> reader:      %8.0f MB/s  cost %.2f x memcpy (target: at most 2)\n", pipeline / mb,
              memcpyRate / pipeline);
  std::printf("ShaStream writer alone:          %8.0f MB/s  cost %.2f x memcpy\n", writer / mb, memcpyRate / writer);
  return 0;
}
