#include "gateway/packet_reader.h"

#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/control_text.h"

namespace dorvek::gateway {
namespace {

using dorvek::test_support::ControlText;
using Entries = std::vector<std::pair<std::string, std::string>>;
using ::testing::ElementsAre;
using ::testing::Pair;

constexpr std::string_view kBreakRequest =
    "[SOH]0061[STX]045[ETX]KEY[ETX]NEW[ETX]2024-05-01 12:30:05[ETX]4711[ETX]004[ETX]1[ETX]"
    "004[ETX]15[ETX][EOT]XCRC";

// The seven header fields of a break request, followed by body fields.
std::string WithBody(std::string_view body) {
  return ControlText("[SOH]0000[STX]045[ETX]KEY[ETX]NEW[ETX]2024-05-01 12:30:05[ETX]4711[ETX]"
                     "004[ETX]1[ETX]") +
         ControlText(body);
}

Entries BodyOf(const PakketVelden& fields) {
  if (fields.size() < 7) return {};
  return Entries(fields.entries().begin() + 7, fields.entries().end());
}

TEST(PacketReader, ReadsWorkedExample) {
  const PakketVelden fields = ReadPacket(ControlText(kBreakRequest));
  EXPECT_THAT(fields.entries(),
              ElementsAre(Pair("TAG", "045"), Pair("TYPE", "KEY"), Pair("STATUS", "NEW"),
                          Pair("TIME", "2024-05-01 12:30:05"), Pair("UNIT", "4711"),
                          Pair("NUMBER", "004"), Pair("SIZE", "1"), Pair("004", "15")));
  EXPECT_EQ(LookupField(fields, "004"), "15");
  EXPECT_EQ(LookupField(fields, "time"), "2024-05-01 12:30:05");
  EXPECT_EQ(LookupField(fields, "042"), "");
}

TEST(PacketReader, TextWithoutStxGivesEmptyList) {
  EXPECT_TRUE(ReadPacket("").empty());
  EXPECT_TRUE(ReadPacket(ControlText("[SOH]0061045[ETX]KEY[ETX][EOT]XCRC")).empty());
}

TEST(PacketReader, StxWithoutFieldsGivesEmptyList) {
  EXPECT_TRUE(ReadPacket(ControlText("[SOH]0010[STX][EOT]XCRC")).empty());
}

TEST(PacketReader, NothingBeforeStxIsExamined) {
  const PakketVelden fields = ReadPacket(ControlText("junk[ETX]x[ETX][SOH]9999[STX]045[ETX]"));
  EXPECT_THAT(fields.entries(), ElementsAre(Pair("TAG", "045")));
}

TEST(PacketReader, FieldWithoutEtxIsLost) {
  const PakketVelden fields = ReadPacket(ControlText("[SOH]0000[STX]045[ETX]KEY[ETX]NEW"));
  EXPECT_THAT(fields.entries(), ElementsAre(Pair("TAG", "045"), Pair("TYPE", "KEY")));
  EXPECT_EQ(fields.Get("STATUS"), "");
}

TEST(PacketReader, MissingLastEtxLosesLastValue) {
  const PakketVelden fields = ReadPacket(WithBody("004[ETX]15[EOT]XCRC"));
  EXPECT_EQ(fields.size(), 7u);
  EXPECT_EQ(fields.Get("004"), "");
}

TEST(PacketReader, OddFieldCountDropsLastKey) {
  const PakketVelden fields = ReadPacket(WithBody("004[ETX]15[ETX]009[ETX][EOT]XCRC"));
  EXPECT_THAT(BodyOf(fields), ElementsAre(Pair("004", "15")));
}

TEST(PacketReader, EmptyFieldInKeyPositionIsSkipped) {
  const PakketVelden fields =
      ReadPacket(WithBody("[ETX][ETX]004[ETX]15[ETX][ETX]009[ETX]3[ETX][EOT]XCRC"));
  EXPECT_THAT(BodyOf(fields), ElementsAre(Pair("004", "15"), Pair("009", "3")));
}

TEST(PacketReader, EmptyValueIsKept) {
  const PakketVelden fields = ReadPacket(WithBody("002[ETX][ETX]009[ETX]3[ETX][EOT]XCRC"));
  EXPECT_THAT(BodyOf(fields), ElementsAre(Pair("002", ""), Pair("009", "3")));
}

TEST(PacketReader, EmptyHeaderFieldsKeepTheirPositions) {
  const PakketVelden fields =
      ReadPacket(ControlText("[SOH]0000[STX][ETX]NOOP[ETX]NEW[ETX][ETX]XGATE[ETX]0[ETX]0[ETX]"
                             "[EOT]XCRC"));
  EXPECT_EQ(fields.size(), 7u);
  EXPECT_EQ(fields.Get("TAG"), "");
  EXPECT_EQ(fields.Get("TIME"), "");
  EXPECT_EQ(fields.Get("UNIT"), "XGATE");
}

TEST(PacketReader, ValueWithEqualsSignIsReturnedWhole) {
  const PakketVelden fields = ReadPacket(WithBody("002[ETX]a=b = c=[ETX][EOT]XCRC"));
  EXPECT_EQ(LookupField(fields, "002"), "a=b = c=");
}

// A name ends at its first "=": a key field holding one gives the rest to the value.
TEST(PacketReader, KeyWithEqualsSignEndsAtIt) {
  const PakketVelden fields = ReadPacket(WithBody("002=x[ETX]y=z[ETX]003[ETX]v[ETX][EOT]XCRC"));
  EXPECT_EQ(LookupField(fields, "002"), "x=y=z");
  EXPECT_EQ(LookupField(fields, "002=x"), "");
  EXPECT_EQ(LookupField(fields, "003"), "v");
}

TEST(PacketReader, TwoPacketsInOneTextAreReadAsOne) {
  const std::string text =
      ControlText(kBreakRequest) +
      ControlText("[SOH]0037[STX]123[ETX]MACRO[ETX]NEW[ETX]60[ETX]4711[ETX]0[ETX]0[ETX][EOT]XCRC");
  const PakketVelden fields = ReadPacket(text);
  EXPECT_EQ(fields.Get("TAG"), "045");
  EXPECT_EQ(fields.Get("NUMBER"), "004");
  EXPECT_THAT(BodyOf(fields), ElementsAre(Pair("004", "15"),
                                          Pair(ControlText("[EOT]XCRC[SOH]0037[STX]123"), "MACRO"),
                                          Pair("NEW", "60"), Pair("4711", "0")));
}

// Every later rest is a part of the rest after the first field, so the 1000 characters
// after the ETX of TAG bound the whole packet. In WithBody("002[ETX]" + value) the value
// starts 43 characters after that ETX, so its own ETX fits when the value has 956.
constexpr std::size_t kLongestValue = 1000 - 43 - 1;

TEST(PacketReader, TextAfterFirstFieldIsCutToThousandCharacters) {
  struct Case {
    std::string value;
    bool kept;
  };
  std::string e_umlauts;
  for (std::size_t i = 0; i < kLongestValue; ++i) e_umlauts += "\xC3\xAB";  // 2 bytes each
  const std::vector<Case> cases = {
      {std::string(kLongestValue - 1, 'a'), true},
      {std::string(kLongestValue, 'a'), true},  // its ETX is the 1000th character
      {std::string(kLongestValue + 1, 'a'), false},
      {std::string(5000, 'a'), false},
      {e_umlauts, true},  // characters are counted, not bytes
      {e_umlauts + "x", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.size());
    const PakketVelden fields = ReadPacket(WithBody("002[ETX]") + c.value + ControlText("[ETX]"));
    EXPECT_EQ(fields.Get("002"), c.kept ? c.value : "");
    EXPECT_EQ(fields.size(), c.kept ? 8u : 7u);
  }
}

TEST(PacketReader, ShortFieldBeyondTheThousandIsLost) {
  // "003" and "x" follow their own boundaries closely; whether x is read depends only on
  // where its ETX lies from the start.
  const auto read = [](std::size_t value_size) {
    return ReadPacket(WithBody("002[ETX]") + std::string(value_size, 'a') +
                      ControlText("[ETX]003[ETX]x[ETX][EOT]XCRC"));
  };
  EXPECT_EQ(read(kLongestValue - 6).Get("003"), "x");
  EXPECT_THAT(BodyOf(read(kLongestValue - 5)),
              ElementsAre(Pair("002", std::string(kLongestValue - 5, 'a'))));
}

TEST(PacketReader, FirstFieldIsNotCut) {
  // Only the text after a field is cut; the text after the STX is taken whole.
  const std::string tag(1500, '7');
  const PakketVelden fields = ReadPacket(ControlText("[SOH]0000[STX]") + tag +
                                         ControlText("[ETX]KEY[ETX][EOT]XCRC"));
  EXPECT_EQ(fields.Get("TAG"), tag);
  EXPECT_EQ(fields.Get("TYPE"), "KEY");
}

TEST(PacketReader, NonAsciiValuesPassThrough) {
  const PakketVelden fields = ReadPacket(WithBody("002[ETX]Goedemiddag, cliënt €5[ETX][EOT]XCRC"));
  EXPECT_EQ(fields.Get("002"), "Goedemiddag, cliënt €5");
}

}  // namespace
}  // namespace dorvek::gateway
