#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/error.h"
#include "io/buffers.h"
#include "io/paged_buffer.h"
#include "io/waiting_fifo.h"

namespace OST {
namespace {

using ::testing::ElementsAre;

// Hands out heap pages and counts them, so tests see when pages go back.
// With a limit, allocations beyond it fail.
class CountingAllocator : public NonCopyable, public virtual BufferAllocator {
 public:
  explicit CountingAllocator(int64_t size, int limit = -1) : size_(size), limit_(limit) {}
  Buffer Alloc() override {
    if (limit_ >= 0 && allocated == limit_) OST_THROW(Error(E_NOMEM, "Could not allocate buffer").Add("injected", "1"));
    ++allocated;
    return Buffer(*this, new char[size_], size_);
  }
  void Free(char* data) override {
    if (data != nullptr) ++freed;
    delete[] data;
  }
  int Live() const { return allocated - freed; }

  int allocated = 0;
  int freed = 0;

 private:
  int64_t size_;
  int limit_;
};

std::string Pattern(int64_t length, uint32_t seed) {
  std::mt19937 random(seed);
  std::string text(length, '\0');
  for (char& c : text) c = static_cast<char>(random());
  return text;
}

std::string ReadAll(ByteSource& source, int64_t chunk) {
  std::string out;
  std::vector<char> buffer(chunk);
  for (;;) {
    const int64_t n = source.ReadAny(buffer.data(), chunk);
    if (n == 0) return out;
    out.append(buffer.data(), n);
  }
}

TEST(SimpleBufferAllocator, RefusesPagesWithoutRoom) {
  for (int64_t size : {int64_t{0}, int64_t{-5}}) {
    try {
      SimpleBufferAllocator allocator(size);
      ADD_FAILURE() << size;
    } catch (const Error& e) {
      EXPECT_EQ(e.Code(), E_INVAL);
      EXPECT_EQ(e.Text(), "Invalid buffer size");
    }
  }
}

TEST(Buffer, MoveLeavesSourceEmptyAndPageIsFreedOnce) {
  CountingAllocator allocator(16);
  {
    Buffer a = allocator.Alloc();
    ASSERT_FALSE(a.Empty());
    Buffer b(std::move(a));
    EXPECT_TRUE(a.Empty());  // NOLINT: testing the moved-from state
    EXPECT_EQ(b.Size(), 16);
    UsedBuffer used(std::move(b));
    EXPECT_TRUE(b.Empty());  // NOLINT
    EXPECT_EQ(used.used, 0);
    EXPECT_EQ(allocator.freed, 0);
  }
  EXPECT_EQ(allocator.allocated, 1);
  EXPECT_EQ(allocator.freed, 1);
}

// Pages of 65536 bytes holding 65537 bytes: the boundary cases of the queue.
class PageBoundary : public ::testing::Test {
 protected:
  static constexpr int64_t kPage = 65536;
  void SetUp() override {
    data_ = Pattern(kPage + 1, 7);
    PagedBufferWriter writer(pages_, allocator_);
    writer.Write(data_.data(), static_cast<int64_t>(data_.size()));
    ASSERT_EQ(writer.Written(), kPage + 1);
  }
  CountingAllocator allocator_{kPage};
  std::deque<UsedBuffer> pages_;
  std::string data_;
};

TEST_F(PageBoundary, WriterFillsPagesBeforeStartingNext) {
  ASSERT_EQ(pages_.size(), 2u);
  EXPECT_EQ(pages_[0].used, kPage);
  EXPECT_EQ(pages_[1].used, 1);
  EXPECT_EQ(std::string(pages_[1].buffer.Data(), 1), data_.substr(kPage));
}

TEST_F(PageBoundary, ConsumingReaderNeverCrossesAPage) {
  PagedBufferConsumingReader reader(pages_);
  std::vector<char> buffer(100000);
  std::vector<int64_t> counts;
  std::string got;
  for (int i = 0; i < 3; ++i) {
    const int64_t n = reader.ReadAny(buffer.data(), 100000);
    counts.push_back(n);
    got.append(buffer.data(), n);
    if (i == 0) {
      EXPECT_EQ(allocator_.freed, 1) << "a page read to its end goes back at once";
    }
  }
  EXPECT_THAT(counts, ElementsAre(kPage, 1, 0));
  EXPECT_EQ(got, data_);
  EXPECT_TRUE(pages_.empty());
  EXPECT_EQ(allocator_.Live(), 0);
}

TEST_F(PageBoundary, FifoReadsAcrossPagesAndEmptiesTheQueue) {
  Fifo fifo(pages_, allocator_);
  std::vector<char> buffer(100000);
  EXPECT_EQ(fifo.ReadAny(buffer.data(), 100000), kPage + 1);
  EXPECT_EQ(std::string(buffer.data(), kPage + 1), data_);
  EXPECT_TRUE(pages_.empty());
  EXPECT_EQ(allocator_.Live(), 0);
  EXPECT_EQ(fifo.ReadAny(buffer.data(), 10), 0);
}

TEST_F(PageBoundary, WalkingReaderLeavesQueueAlone) {
  PagedBufferReader reader(pages_);
  EXPECT_FALSE(reader.Empty());
  std::vector<char> buffer(kPage - 1);
  EXPECT_EQ(reader.ReadAny(buffer.data(), kPage - 1), kPage - 1);
  EXPECT_FALSE(reader.Empty());
  EXPECT_EQ(reader.ReadAny(buffer.data(), 10), 2);  // crosses into the second page
  EXPECT_EQ(std::string(buffer.data(), 2), data_.substr(kPage - 1));
  EXPECT_TRUE(reader.Empty());
  EXPECT_EQ(reader.ReadAny(buffer.data(), 10), 0);
  EXPECT_EQ(pages_.size(), 2u);
  EXPECT_EQ(allocator_.freed, 0);
}

TEST(PagedBufferReader, EmptyQueueAndGrowthAfterTheEnd) {
  CountingAllocator allocator(4);
  std::deque<UsedBuffer> pages;
  PagedBufferReader reader(pages);
  EXPECT_TRUE(reader.Empty());
  char buffer[16];
  EXPECT_EQ(reader.ReadAny(buffer, 16), 0);

  PagedBufferWriter writer(pages, allocator);
  writer.Write("abcd", 4);  // exactly one full page
  EXPECT_EQ(reader.ReadAny(buffer, 16), 4);
  EXPECT_TRUE(reader.Empty());
  writer.Write("ef", 2);  // a new page after the reader reached the end
  EXPECT_FALSE(reader.Empty());
  EXPECT_EQ(reader.ReadAny(buffer, 16), 2);
  EXPECT_EQ(std::string(buffer, 2), "ef");
  writer.Write("g", 1);  // more bytes in a page the reader has already read up to its end
  EXPECT_EQ(reader.ReadAny(buffer, 16), 1);
  EXPECT_EQ(buffer[0], 'g');
}

TEST(PagedBufferWriter, AllocationFailureKeepsBytesBefore) {
  CountingAllocator allocator(4, /*limit=*/2);
  std::deque<UsedBuffer> pages;
  PagedBufferWriter writer(pages, allocator);
  const Iovec iov[] = {{"abc", 3}, {"", -1}, {"defghij", 7}};
  try {
    writer.Writev(iov, 3);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.Code(), E_NOMEM);
  }
  EXPECT_EQ(writer.Written(), 8);
  Fifo reader(pages, allocator);
  char buffer[16];
  EXPECT_EQ(reader.ReadAny(buffer, 16), 8);
  EXPECT_EQ(std::string(buffer, 8), "abcdefgh");
}

// A partly read page that is read to its current end goes back even when it
// is not full; later writes start a new page.
TEST(Fifo, PartlyFilledPageGoesBackWhenDrained) {
  CountingAllocator allocator(8);
  std::deque<UsedBuffer> pages;
  Fifo fifo(pages, allocator);
  fifo.Write("abc", 3);
  char buffer[16];
  EXPECT_EQ(fifo.ReadAny(buffer, 2), 2);
  fifo.Write("de", 2);  // same page, the reader's offset stays right
  EXPECT_EQ(fifo.ReadAny(buffer, 16), 3);
  EXPECT_EQ(std::string(buffer, 3), "cde");
  EXPECT_EQ(allocator.Live(), 0);
  fifo.Write("f", 1);
  EXPECT_EQ(allocator.allocated, 2);
  EXPECT_EQ(fifo.ReadAny(buffer, 16), 1);
  EXPECT_EQ(buffer[0], 'f');
}

// Random writes and reads against a string model, with small pages so that
// every boundary is crossed often.
TEST(Fifo, MatchesModelUnderRandomTraffic) {
  std::mt19937 random(::testing::UnitTest::GetInstance()->random_seed());
  for (int64_t page : {int64_t{1}, int64_t{3}, int64_t{7}, int64_t{64}}) {
    CountingAllocator allocator(page);
    std::deque<UsedBuffer> pages;
    Fifo fifo(pages, allocator);
    std::string model;
    int64_t written = 0;
    for (int step = 0; step < 2000; ++step) {
      if (random() % 2 == 0) {
        std::vector<std::string> pieces(random() % 4);
        std::vector<Iovec> iov;
        for (std::string& piece : pieces) {
          piece = Pattern(random() % 20, static_cast<uint32_t>(random()));
          iov.push_back({piece.data(), static_cast<int64_t>(piece.size())});
          model += piece;
          written += static_cast<int64_t>(piece.size());
        }
        fifo.Writev(iov.data(), static_cast<int>(iov.size()));
        ASSERT_EQ(fifo.Written(), written);
      } else {
        const int64_t want = random() % 30;
        std::vector<char> buffer(want + 1);
        const int64_t n = fifo.ReadAny(buffer.data(), want);
        ASSERT_EQ(n, std::min<int64_t>(want, static_cast<int64_t>(model.size()))) << "page " << page;
        ASSERT_EQ(std::string(buffer.data(), n), model.substr(0, n));
        model.erase(0, n);
      }
      // Memory is bounded by what is queued, rounded up to whole pages.
      ASSERT_LE(allocator.Live(), static_cast<int>((model.size() + page - 1) / page) + 1);
    }
    EXPECT_EQ(ReadAll(fifo, 5), model);
    EXPECT_EQ(allocator.Live(), 0);
  }
}

class WaitingFifoTest : public ::testing::Test {
 protected:
  // Starts a read of up to `length` bytes on another thread.
  std::future<std::string> ReadAsync(int64_t length) {
    return std::async(std::launch::async, [this, length] {
      std::string buffer(length, '\0');
      const int64_t n = fifo_.ReadAny(buffer.data(), length);
      buffer.resize(n);
      return buffer;
    });
  }
  static void ExpectInterrupted(std::future<std::string>& read) {
    try {
      read.get();
      ADD_FAILURE() << "read returned";
    } catch (const Error& e) {
      EXPECT_EQ(e.Code(), E_INTR);
      EXPECT_EQ(e.Text(), "Read has been interrupted");
      EXPECT_NE(e.FullText(',').find("timeout: \"4294967295\""), std::string::npos) << e.FullText(',');
    }
  }
  static bool Blocked(std::future<std::string>& read) {
    return read.wait_for(std::chrono::milliseconds(50)) == std::future_status::timeout;
  }

  CountingAllocator allocator_{4};
  WaitingFifo fifo_{allocator_};
};

TEST_F(WaitingFifoTest, BlockedReaderWakesOnWrite) {
  auto read = ReadAsync(100);
  EXPECT_TRUE(Blocked(read));
  fifo_.Write("hello", 5);
  EXPECT_EQ(read.get(), "hell");  // at most the rest of the front page
  EXPECT_EQ(fifo_.Queued(), 1);
  char c;
  EXPECT_EQ(fifo_.ReadAny(&c, 1), 1);
  EXPECT_EQ(c, 'o');
  EXPECT_EQ(fifo_.Queued(), 0);
}

TEST_F(WaitingFifoTest, BlockedReaderFailsOnStop) {
  auto read = ReadAsync(100);
  EXPECT_TRUE(Blocked(read));
  fifo_.Stop();
  ExpectInterrupted(read);
}

TEST_F(WaitingFifoTest, StoppedFifoRefusesQueuedDataButAcceptsWrites) {
  fifo_.Write("abcdefghij", 10);
  fifo_.Stop();
  auto read = ReadAsync(4);
  ExpectInterrupted(read);
  fifo_.Write("k", 1);
  EXPECT_EQ(fifo_.Queued(), 11);
  auto again = ReadAsync(4);
  ExpectInterrupted(again);
}

TEST_F(WaitingFifoTest, TimeLimitDoesNotExpireARead) {
  auto read = std::async(std::launch::async, [this] {
    char buffer[8];
    return fifo_.ReadTimed(buffer, 8, TimeoutMs(1));
  });
  EXPECT_EQ(read.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  fifo_.Write("x", 1);
  EXPECT_EQ(read.get(), 1);
}

// One writer and one reader thread: every byte arrives once and in order.
TEST_F(WaitingFifoTest, WriterAndReaderThreadsKeepOrder) {
  const std::string data = Pattern(200000, ::testing::UnitTest::GetInstance()->random_seed());
  std::thread writer([&] {
    std::mt19937 random(::testing::UnitTest::GetInstance()->random_seed() + 1);
    size_t at = 0;
    while (at < data.size()) {
      const size_t n = std::min<size_t>(data.size() - at, random() % 700 + 1);
      const size_t half = n / 2;
      const Iovec iov[] = {{data.data() + at, static_cast<int64_t>(half)},
                           {data.data() + at + half, static_cast<int64_t>(n - half)}};
      fifo_.Writev(iov, 2);
      at += n;
    }
  });
  std::string got;
  char buffer[333];
  while (got.size() < data.size()) {
    const int64_t n = fifo_.ReadAny(buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    got.append(buffer, n);
  }
  writer.join();
  EXPECT_EQ(got, data);
  EXPECT_EQ(fifo_.Queued(), 0);
  EXPECT_EQ(allocator_.Live(), 0);
}

TEST(WaitingFifo, DestructionGivesQueuedPagesBack) {
  CountingAllocator allocator(4);
  {
    WaitingFifo fifo(allocator);
    fifo.Write("0123456789", 10);
    EXPECT_EQ(allocator.Live(), 3);
  }
  EXPECT_EQ(allocator.Live(), 0);
}

}  // namespace
}  // namespace OST
