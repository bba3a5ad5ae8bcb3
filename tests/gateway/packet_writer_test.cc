#include "gateway/packet_writer.h"

#include <climits>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gateway/packet_reader.h"
#include "support/control_text.h"

namespace dorvek::gateway {
namespace {

using dorvek::test_support::ControlText;

TEST(PacketWriter, BuildsWorkedExampleTerminalReset) {
  const std::string packet = BuildPacket({"123", "MACRO", "NEW", "60", "4711", "0", "0"});
  EXPECT_EQ(packet.size(), 37u);
  EXPECT_EQ(packet,
            ControlText("[SOH]0037[STX]123[ETX]MACRO[ETX]NEW[ETX]60[ETX]4711[ETX]0[ETX]0[ETX]"
                        "[EOT]XCRC"));
}

TEST(PacketWriter, BuildsTheReadersWorkedExample) {
  EXPECT_EQ(BuildPacket({"045", "KEY", "NEW", "2024-05-01 12:30:05", "4711", "004", "1", "004",
                         "15"}),
            ControlText("[SOH]0061[STX]045[ETX]KEY[ETX]NEW[ETX]2024-05-01 12:30:05[ETX]4711[ETX]"
                        "004[ETX]1[ETX]004[ETX]15[ETX][EOT]XCRC"));
}

TEST(PacketWriter, NoFieldsStillGivesFrame) {
  EXPECT_EQ(BuildPacket({}), ControlText("[SOH]0011[STX][EOT]XCRC"));
}

TEST(PacketWriter, LengthCountsCharactersNotBytes) {
  // "cliënt" is six characters in seven bytes.
  const std::string packet = BuildPacket({"cliënt"});
  EXPECT_EQ(packet.substr(1, 4), "0018");
  EXPECT_EQ(packet.size(), 19u);
}

// No escaping exists: a frame character inside a field goes as a blank, or the
// packet would end early.
TEST(PacketWriter, FrameCharactersInAFieldAreSentAsBlanks) {
  EXPECT_EQ(BuildPacket({ControlText("[SOH]1[STX]2[ETX]3[EOT]4\tcliënt")}),
            ControlText("[SOH]0027[STX] 1 2 3 4\tcliënt[ETX][EOT]XCRC"));
}

TEST(PacketWriter, LengthOfLongPacketKeepsLastFourDigits) {
  struct Case {
    std::size_t total;
    std::string length;
  };
  for (const Case& c : std::vector<Case>{
           {9999, "9999"}, {10000, "0000"}, {10001, "0001"}, {12345, "2345"}}) {
    SCOPED_TRACE(c.total);
    // SOH, length, STX, the field's ETX, EOT and trailer are 12 characters.
    const std::string packet = BuildPacket({std::string(c.total - 12, 'a')});
    EXPECT_EQ(packet.size(), c.total);
    EXPECT_EQ(packet.substr(1, 4), c.length);
  }
}

TEST(PacketWriter, ReaderGetsBackWhatWriterBuilt) {
  const std::vector<std::string> fields = {"123", "FORM", "NEW", "120", "mux4711", "0", "3",
                                           "0",   "981",  "3",   "Dorpsstraat 1", "15", "cliënt"};
  const PakketVelden read = ReadPacket(BuildPacket(fields));
  ASSERT_EQ(read.size(), 10u);
  EXPECT_EQ(read.Get("UNIT"), "mux4711");
  EXPECT_EQ(read.Get("0"), "981");
  EXPECT_EQ(read.Get("3"), "Dorpsstraat 1");
  EXPECT_EQ(read.Get("15"), "cliënt");
}

TEST(ZeroPadded, KeepsLastDigitsLeftPadded) {
  struct Case {
    long long n;
    int width;
    std::string expected;
  };
  for (const Case& c : std::vector<Case>{{0, 4, "0000"},
                                         {37, 4, "0037"},
                                         {9999, 4, "9999"},
                                         {10000, 4, "0000"},
                                         {12345, 4, "2345"},
                                         {7, 3, "007"},
                                         {981, 3, "981"},
                                         {123456, 3, "456"},
                                         {5, 0, ""},
                                         {5, 1, "5"},
                                         {LLONG_MAX, 20, "09223372036854775807"}}) {
    SCOPED_TRACE(c.n);
    EXPECT_EQ(ZeroPadded(c.n, c.width), c.expected);
  }
}

TEST(ZeroPadded, RejectsNegativeInput) {
  EXPECT_THROW(ZeroPadded(-1, 4), std::invalid_argument);
  EXPECT_THROW(ZeroPadded(LLONG_MIN, 4), std::invalid_argument);
  EXPECT_THROW(ZeroPadded(1, -1), std::invalid_argument);
}

}  // namespace
}  // namespace dorvek::gateway
