#include "outbound/vehicle_packets.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/codepage.h"
#include "gateway/packet_reader.h"
#include "gateway/packet_writer.h"

namespace dorvek::outbound {
namespace {

struct ActionCase {
  const char* name;
  long long actie;
  const char* log_text;
  std::vector<std::string> fields;  // as BuildPacket takes them
};

class VehicleAction : public ::testing::TestWithParam<ActionCase> {};

TEST_P(VehicleAction, PacketAndLogText) {
  const ActionCase& c = GetParam();
  ASSERT_TRUE(IsVehicleAction(c.actie));
  const auto built = BuildVehiclePacket(c.actie, "mux4711", "Kom naar\r\nde stan\nd");
  ASSERT_TRUE(built);
  EXPECT_EQ(built->log_text, c.log_text);
  EXPECT_EQ(built->packet, gateway::BuildPacket(c.fields));
  EXPECT_EQ(built->cut_from_chars, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Actions, VehicleAction,
    ::testing::Values(
        ActionCase{"TerminalReset", 3, "Taxis Dorvek ZOL terminal reset ",
                   {"123", "MACRO", "NEW", "60", "mux4711", "0", "0"}},
        ActionCase{"RittenWissen", 7, "Taxis Dorvek ZOL ritten wissen ",
                   {"123", "MACRO", "NEW", "60", "mux4711", "3", "0"}},
        ActionCase{"GeforceerdUitloggen", 9, "Taxis Dorvek ZOL geforceerd uitloggen ",
                   {"123", "FORM", "NEW", "60", "mux4711", "4", "001", "3", "0"}},
        ActionCase{"AlarmReset", 8, "Taxis Dorvek ZOL alarm reset ",
                   {"123", "MACRO", "NEW", "60", "mux4711", "1", "0"}},
        ActionCase{"Chatbericht99", 99, "Taxis Dorvek ZOL chatbericht ",
                   {"123", "FORM", "NEW", "60", "mux4711", "014", "001", "1", "Kom naarde stand"}},
        ActionCase{"Chatbericht98", 98, "Taxis Dorvek ZOL chatbericht ",
                   {"123", "FORM", "NEW", "60", "mux4711", "014", "001", "1", "Kom naarde stand"}}),
    [](const ::testing::TestParamInfo<ActionCase>& info) { return std::string(info.param.name); });

TEST(VehiclePackets, WorkedExampleOfATerminalReset) {
  const auto built = BuildVehiclePacket(3, "4711", "");
  EXPECT_EQ(built->packet, "\x01" "0037\x02" "123\x03MACRO\x03NEW\x03" "60\x03" "4711\x03" "0\x03" "0\x03\x04XCRC");
}

TEST(VehiclePackets, EmptyTerminalIdentityGivesAnEmptyUnit) {
  const auto fields = gateway::ReadPacket(BuildVehiclePacket(3, "", "")->packet);
  EXPECT_EQ(fields.Get("UNIT"), "");
  EXPECT_EQ(fields.Get("TYPE"), "MACRO");
}

TEST(VehiclePackets, OtherActionsHaveNoPacket) {
  for (long long actie : {0LL, 1LL, 2LL, 4LL, 5LL, 6LL, 10LL, 97LL, 100LL, -3LL}) {
    EXPECT_FALSE(IsVehicleAction(actie)) << actie;
    EXPECT_FALSE(BuildVehiclePacket(actie, "x", "y")) << actie;
  }
}

TEST(VehiclePackets, TextIsSentAsItStandsButForLineBreaksAndFrameCharacters) {
  const auto fields = gateway::ReadPacket(BuildVehiclePacket(99, "u", "Hénri;, \"cliënt\"#\x03\tklaar")->packet);
  EXPECT_EQ(fields.Get("1"), "Hénri;, \"cliënt\"# \tklaar");
}

// The length field has four digits: the longest text that fits makes a packet of
// exactly 9999 characters, counted in characters, and a longer one is cut to that.
TEST(VehiclePackets, TextThatWouldOverflowTheLengthFieldIsCutToFitExactly) {
  const std::size_t frame = core::Utf8Length(BuildVehiclePacket(99, "mux4711", "")->packet);
  const std::size_t room = kMaxPacketChars - frame;

  const std::string fits(room, 'a');
  const auto exact = BuildVehiclePacket(99, "mux4711", fits);
  EXPECT_EQ(core::Utf8Length(exact->packet), 9999u);
  EXPECT_EQ(exact->cut_from_chars, 0u);
  EXPECT_EQ(exact->packet.substr(1, 4), "9999");

  // Two-byte characters: the cut counts characters and never splits one.
  std::string accented;
  for (std::size_t i = 0; i < 100000; ++i) accented += "é";
  const auto cut = BuildVehiclePacket(98, "mux4711", "\r\n" + accented);
  EXPECT_EQ(cut->cut_from_chars, 100000u);
  EXPECT_EQ(cut->text_chars, room);
  EXPECT_EQ(core::Utf8Length(cut->packet), 9999u);
  EXPECT_EQ(cut->packet.substr(1, 4), "9999");
  EXPECT_TRUE(core::IsValidUtf8(cut->packet));
  const auto fields = gateway::ReadPacket(cut->packet);
  EXPECT_EQ(fields.Get("NUMBER"), "014");
}

}  // namespace
}  // namespace dorvek::outbound
