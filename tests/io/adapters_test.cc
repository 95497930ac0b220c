#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/error.h"
#include "io/caching_reader.h"
#include "io/caching_writer.h"
#include "io/expected_reader.h"
#include "io/fixed_buffer.h"
#include "io/string_writer.h"
#include "util/test_streams.h"

namespace OST {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(StringWriter, AppendsAndCounts) {
  std::string target = ">";
  StringWriter writer(target);
  const Iovec iov[] = {{"ab", 2}, {"", 0}, {"cde", 3}};
  writer.Writev(iov, 3);
  writer.Write("f", 1);
  EXPECT_EQ(target, ">abcdef");
  EXPECT_EQ(writer.Written(), 6);
}

TEST(FixedBufferReader, BoundsAndReads) {
  const char data[] = "0123456789";
  FixedBufferReader atEnd(data, 10, 10);
  char buffer[16];
  EXPECT_EQ(atEnd.ReadAny(buffer, 4), 0);
  for (int64_t bad : {int64_t{11}, int64_t{-1}}) {
    try {
      FixedBufferReader reader(data, 10, bad);
      ADD_FAILURE() << bad;
    } catch (const Error& e) {
      EXPECT_EQ(e.Code(), E_SEEK);
      EXPECT_EQ(e.Text(), "Seek outside buffer boundaries");
    }
  }
  FixedBufferReader reader(data, 10, 3);
  EXPECT_EQ(reader.ReadAny(buffer, 4), 4);
  EXPECT_EQ(std::string(buffer, 4), "3456");
  EXPECT_EQ(reader.ReadAny(buffer, 16), 3);
  EXPECT_EQ(reader.ReadAny(buffer, 16), 0);
}

TEST(FixedBufferWriter, OverflowKeepsWholeElementsBefore) {
  char memory[10];
  FixedBufferWriter writer(memory, 10);
  const Iovec iov[] = {{"aaaaaa", 6}, {"bbbbbb", 6}};
  try {
    writer.Writev(iov, 2);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.Code(), E_NOSPC);
    EXPECT_EQ(e.Text(), "Destination buffer is full");
  }
  EXPECT_EQ(writer.Written(), 6);
  EXPECT_EQ(std::string(memory, 6), "aaaaaa");
  FixedBufferWriter moved(std::move(writer));
  EXPECT_EQ(moved.Written(), 6);
  moved.Write("1234", 4);
  EXPECT_EQ(std::string(memory, 10), "aaaaaa1234");
}

TEST(ExpectedSizeReader, BoundsReadsAndDiscardsRest) {
  testutil::ScriptedSource empty;
  ExpectedSizeReader none(empty, 0);
  char buffer[8];
  EXPECT_EQ(none.ReadAny(buffer, 8), 0);
  EXPECT_THAT(empty.requested, IsEmpty());

  testutil::ScriptedSource inner({"abcdefgh", "ijkl"});
  ExpectedSizeReader reader(inner, 10);
  EXPECT_EQ(reader.ReadAny(buffer, 3), 3);
  EXPECT_EQ(reader.ReadAny(buffer, 8), 5);  // one inner read, capped at what is left of the chunk
  EXPECT_THAT(inner.requested, ElementsAre(3, 7));
  reader.ReadRemainingBytes();
  EXPECT_EQ(reader.Remaining(), 0);
  EXPECT_EQ(inner.ReadAny(buffer, 8), 2);  // "kl" stayed in the inner source

  testutil::ScriptedSource shortInner({"ab"});
  ExpectedSizeReader shortReader(shortInner, 5);
  try {
    shortReader.ReadRemainingBytes();
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.Text(), "End of stream reached");
  }
}

TEST(ExpectedSizeReader, DiscardsInPiecesOf4096) {
  testutil::EndlessSource inner(10000);
  ExpectedSizeReader reader(inner, 9000);
  reader.ReadRemainingBytes();
  EXPECT_THAT(inner.requested, ElementsAre(4096, 4096, 808));
}

TEST(CachingReader, SmallReadsFillBufferLargeReadsBypass) {
  testutil::EndlessSource inner(1 << 20);
  CachingReader reader(inner, 1024);
  std::vector<char> buffer(2048);
  EXPECT_EQ(reader.ReadAny(buffer.data(), 1025), 1025);
  EXPECT_THAT(inner.requested, ElementsAre(1025));
  EXPECT_EQ(reader.ReadAny(buffer.data(), 1024), 1024);
  EXPECT_THAT(inner.requested, ElementsAre(1025, 1024));
  EXPECT_EQ(reader.ReadAny(buffer.data(), 10), 10);
  EXPECT_EQ(reader.ReadAny(buffer.data(), 2000), 1014);  // buffered bytes first
  EXPECT_EQ(inner.requested.size(), 3u);
}

TEST(CachingReader, KeepsOrderAndReportsEnd) {
  testutil::ScriptedSource inner({"hello world"});
  CachingReader reader(inner, 4);
  std::string out;
  char buffer[3];
  for (int64_t n; (n = reader.ReadAny(buffer, 3)) > 0;) out.append(buffer, n);
  EXPECT_EQ(out, "hello world");
}

TEST(CachingWriter, CoalescesUpTo1024) {
  testutil::RecordingSink inner;
  CachingWriter writer(inner);
  const std::string piece(300, 'p');
  for (int i = 0; i < 3; ++i) writer.Write(piece.data(), piece.size());
  EXPECT_THAT(inner.calls, IsEmpty());
  writer.Write(piece.data(), piece.size());
  ASSERT_EQ(inner.calls.size(), 1u);
  ASSERT_EQ(inner.calls[0].size(), 2u);
  EXPECT_EQ(inner.calls[0][0], std::string(900, 'p'));
  EXPECT_EQ(inner.calls[0][1].size(), 300u);
  writer.Flush();
  EXPECT_EQ(inner.calls.size(), 1u);
  EXPECT_EQ(inner.flushes, 1);
}

TEST(CachingWriter, LargePieceGoesWithAllLaterPiecesInOrder) {
  testutil::RecordingSink inner;
  CachingWriter writer(inner);
  const std::string big(2000, 'B');
  const Iovec iov[] = {{"a", 1}, {big.data(), 2000}, {"c", 1}};
  writer.Writev(iov, 3);
  ASSERT_EQ(inner.calls.size(), 1u);
  EXPECT_THAT(inner.calls[0], ElementsAre("a", big, "c"));
  writer.Write("tail", 4);
  writer.Flush();
  EXPECT_EQ(inner.All(), "a" + big + "ctail");
  EXPECT_EQ(inner.flushes, 1);
}

}  // namespace
}  // namespace OST
