#include <gtest/gtest.h>

#include <string>

#include "link/crc.h"
#include "util/memory_pipe.h"
#include "link_test_util.h"

namespace OST {
namespace {

// The catalogued check value of CRC-16/AUG-CCITT.
TEST(Crc16, CheckValueAndInitialRegister) {
  EXPECT_EQ(Crc16().Value(), 0x1D0F);
  EXPECT_EQ(Crc16("123456789", 9).Value(), 0xE5CC);
  Crc16 pieces;
  pieces.Write("1234", 4);
  pieces.Write("", 0);
  pieces.Write("56789", 5);
  EXPECT_EQ(pieces.Value(), 0xE5CC);
  // A single flipped bit changes the value.
  EXPECT_NE(Crc16("123456788", 9).Value(), 0xE5CC);
}

TEST(CrcStream, ChecksumsWhatPassesEachWay) {
  auto [near, far] = testutil::MakeStreamPair();
  CrcStream checked(*near);
  const Iovec iov[] = {{"1234", 4}, {"", 0}, {"56789", 5}};
  checked.Writev(iov, 3);
  EXPECT_EQ(checked.WriteCrc(), 0xE5CC);
  EXPECT_EQ(checked.ReadCrc(), 0x1D0F);
  char received[9];
  far->Read(received, 9);
  EXPECT_EQ(std::string(received, 9), "123456789");

  far->Write("123456789", 9);
  char buffer[4];
  checked.Read(buffer, 4);
  EXPECT_EQ(checked.ReadCrc(), Crc16("1234", 4).Value());
  char rest[5];
  checked.Read(rest, 5);
  EXPECT_EQ(checked.ReadCrc(), 0xE5CC);
}

// Reads pass the resolved time-out on; a time-out read adds nothing.
TEST(CrcStream, ResolvesTimeoutAndCountsOnlyReturnedBytes) {
  linktest::ScriptedStream inner({"", "abc"});
  CrcStream checked(inner);
  checked.SetTimeout(TimeoutMs{1234});
  char buffer[8];
  EXPECT_EQ(checked.ReadAny(buffer, 8), 0);
  EXPECT_EQ(checked.ReadCrc(), 0x1D0F);
  EXPECT_EQ(checked.ReadTimed(buffer, 8, TimeoutMs{7}), 3);
  EXPECT_EQ(checked.ReadCrc(), Crc16("abc", 3).Value());
  ASSERT_EQ(inner.timeouts.size(), 2u);
  EXPECT_EQ(inner.timeouts[0], TimeoutMs{1234});
  EXPECT_EQ(inner.timeouts[1], TimeoutMs{7});
}

}  // namespace
}  // namespace OST
