#include "gateway/packet_notation.h"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "gateway/packet_writer.h"
#include "support/control_text.h"

namespace dorvek::gateway {
namespace {

using dorvek::test_support::ControlText;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;

TEST(PacketNotation, BreakRequestGivesTheWorkedExamplePacket) {
  const auto fields = ParseNotation(
      R"(TAG=045 TYPE=KEY STATUS=NEW TIME="2024-05-01 12:30:05" UNIT=4711 NUMBER=004 004=15)");
  EXPECT_EQ(BuildPacket(fields),
            ControlText("[SOH]0061[STX]045[ETX]KEY[ETX]NEW[ETX]2024-05-01 12:30:05[ETX]4711[ETX]"
                        "004[ETX]1[ETX]004[ETX]15[ETX][EOT]XCRC"));
}

TEST(PacketNotation, HeaderInAnyOrderMissingOnesEmpty) {
  EXPECT_THAT(ParseNotation("UNIT=XGATE 002=hello TYPE=NOOP 003=x"),
              ElementsAre("", "NOOP", "", "", "XGATE", "", "2", "002", "hello", "003", "x"));
}

TEST(PacketNotation, HeaderNamesIgnoreCase) {
  EXPECT_THAT(ParseNotation("unit=4711 Number=0"),
              ElementsAre("", "", "", "", "4711", "0", "0"));
}

TEST(PacketNotation, GivenSizeIsKeptEvenWhenWrong) {
  EXPECT_THAT(ParseNotation("SIZE=037 004=15"), ElementsAre("", "", "", "", "", "", "037", "004", "15"));
}

TEST(PacketNotation, EmptyLineIsAPacketOfEmptyHeader) {
  EXPECT_THAT(ParseNotation("   "), ElementsAre("", "", "", "", "", "", "0"));
}

TEST(PacketNotation, QuotedValues) {
  EXPECT_THAT(ParseAssignments(R"(002="Goedemiddag, cliënt" 003="" 004="say \"hi\" \\o/")"),
              ElementsAre(Pair("002", "Goedemiddag, cliënt"), Pair("003", ""),
                          Pair("004", R"(say "hi" \o/)")));
}

TEST(PacketNotation, BareValuesRunToTheNextBlank) {
  EXPECT_THAT(ParseAssignments("002=a=b 003= \t004=\"x\""),
              ElementsAre(Pair("002", "a=b"), Pair("003", ""), Pair("004", "x")));
}

TEST(PacketNotation, MalformedLinesAreRefusedWithReason) {
  struct Case {
    std::string line;
    std::string reason;
  };
  for (const Case& c : std::vector<Case>{
           {"TAG=045 hello", "no \"=\" in \"hello\""},
           {"=5", "without a name"},
           {R"(002="open)", "unclosed quote"},
           {R"(002="a"b)", "after the closing quote"},
           {"UNIT=1 unit=2", "UNIT given twice"},
           {"002=a\x03" "b", "control character"},
       }) {
    SCOPED_TRACE(c.line);
    try {
      ParseNotation(c.line);
      ADD_FAILURE() << "accepted";
    } catch (const NotationError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.reason));
    }
  }
}

TEST(ControlNames, ShownByNameAndParsedBack) {
  const std::string text = ControlText("[SOH]0037[STX]a[ETX][EOT]XCRC") + "\r\n\t" +
                           std::string(1, '\0') + "\x1f" + "ë<b>";
  const std::string shown = ShowControlChars(text);
  EXPECT_EQ(shown, "<SOH>0037<STX>a<ETX><EOT>XCRC<CR><LF><TAB><0x00><0x1F>ë<b>");
  EXPECT_EQ(ParseControlNames(shown), text);
}

TEST(ControlNames, UnknownAndBrokenNamesStay) {
  EXPECT_EQ(ParseControlNames("<SO> <0xZZ> <0x4"), "<SO> <0xZZ> <0x4");
  EXPECT_EQ(ParseControlNames("<0x41><ETX"), "A<ETX");
}

TEST(DescribePacket, ListsTextAndFields) {
  const std::string packet = BuildPacket(ParseNotation("TAG=123 TYPE=MACRO UNIT=4711 002=a=b"));
  EXPECT_THAT(DescribePacket(packet),
              ElementsAre("<SOH>0039<STX>123<ETX>MACRO<ETX><ETX><ETX>4711<ETX><ETX>1<ETX>002"
                          "<ETX>a=b<ETX><EOT>XCRC",
                          "TAG=123", "TYPE=MACRO", "STATUS=", "TIME=", "UNIT=4711", "NUMBER=",
                          "SIZE=1", "002=a=b"));
}

TEST(DescribePacket, PointsOutWrongLength) {
  const auto lines = DescribePacket(ControlText("[SOH]0099[STX]1[ETX][EOT]XCRC"));
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1], "(length field \"0099\", but 13 characters)");
}

TEST(DescribePacket, ShowsControlCharactersInsideEntries) {
  const std::string two = BuildPacket(ParseNotation("UNIT=1 004=15")) +
                          BuildPacket(ParseNotation("TAG=123 TYPE=MACRO"));
  EXPECT_THAT(DescribePacket(two), ::testing::Contains("<EOT>XCRC<SOH>0027<STX>123=MACRO"));
}

}  // namespace
}  // namespace dorvek::gateway
