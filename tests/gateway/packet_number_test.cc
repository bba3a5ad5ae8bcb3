#include "gateway/packet_number.h"

#include <gtest/gtest.h>

namespace dorvek::gateway {
namespace {

TEST(PacketNumber, ReadsLeadingDigitsAfterBlanksAndSign) {
  EXPECT_EQ(PacketNumber("001"), 1);
  EXPECT_EQ(PacketNumber("01"), 1);
  EXPECT_EQ(PacketNumber("1"), 1);
  EXPECT_EQ(PacketNumber("004"), 4);
  EXPECT_EQ(PacketNumber("  12"), 12);
  EXPECT_EQ(PacketNumber("-7"), -7);
  EXPECT_EQ(PacketNumber("+15"), 15);
  EXPECT_EQ(PacketNumber("12ab"), 12);
}

TEST(PacketNumber, TextWithoutDigitsIsZero) {
  EXPECT_EQ(PacketNumber(""), 0);
  EXPECT_EQ(PacketNumber("abc"), 0);
  EXPECT_EQ(PacketNumber("-"), 0);
  EXPECT_EQ(PacketNumber("a1"), 0);
}

TEST(PacketNumber, HugeNumberSaturates) {
  EXPECT_EQ(PacketNumber("99999999999999999999999"), std::numeric_limits<long long>::max());
}

}  // namespace
}  // namespace dorvek::gateway
