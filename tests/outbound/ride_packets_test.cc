#include "outbound/ride_packets.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/codepage.h"
#include "gateway/pakket_velden.h"
#include "gateway/packet_reader.h"
#include "gateway/packet_writer.h"

namespace dorvek::outbound {
namespace {

using Columns = std::vector<std::pair<std::string, db::Value>>;

db::Row MakeRow(const Columns& columns) {
  std::vector<std::string> names;
  std::vector<db::Value> values;
  for (const auto& [name, value] : columns) {
    names.push_back(name);
    values.push_back(value);
  }
  return db::Row(std::move(names), std::move(values));
}

// A ride as the dispatch side writes one; each case changes some columns.
Columns BaseRide() {
  return {
      {"pla_id", 12345LL},
      {"pla_bdr_id", 1LL},
      {"pla_tijdstip", core::DateTime{2026, 12, 8, 9, 30, 0}},
      {"pla_ophstraat", std::string("  Stationsplein ")},
      {"pla_ophnummer", std::string("12")},
      {"pla_ophnummertoe", std::string("bis")},
      {"pla_ophpostcode", std::string("5611 AB")},
      {"pla_ophstad", std::string(" Eindhoven ")},
      {"pla_besstraat", std::string("Markt")},
      {"pla_bestnummer", std::string("1")},
      {"pla_bestnummertoe", std::string("")},
      {"pla_bestpostcode", std::string("5664HN")},
      {"pla_beststad", std::string("Geldrop")},
      {"pla_naam_reiziger", std::string("Hénri de Vries")},
      {"pla_opmerking", std::string("Bij de zij-ingang")},
      {"pla_tekst", std::string("Rolstoel, opvouwbaar")},
      {"pla_telefoon", std::string("")},
      {"pla_bellen", 0LL},
      {"pla_rc", 0LL},
      {"pla_bedrag", core::Decimal::FromHundredths(1250)},
      {"pla_lopers", 1LL},
      {"pla_rollers", 0LL},
      {"pla_rolstoel", 0LL},
      {"pla_voorin", 0LL},
      {"pla_combineren", 1LL},
      {"pla_soortvervoer", std::string("A")},
      {"pla_pasnummer", std::string("P-77 ")},
  };
}

Columns With(Columns columns, const Columns& changes) {
  for (const auto& [name, value] : changes) {
    bool found = false;
    for (auto& column : columns)
      if (column.first == name) {
        column.second = value;
        found = true;
      }
    if (!found) columns.emplace_back(name, value);
  }
  return columns;
}

std::map<std::string, std::string> ByKey(const std::vector<Pair>& pairs) {
  return std::map<std::string, std::string>(pairs.begin(), pairs.end());
}

std::vector<std::string> Keys(const std::vector<Pair>& pairs) {
  std::vector<std::string> keys;
  for (const auto& pair : pairs) keys.push_back(pair.first);
  return keys;
}

const std::vector<std::string> kOfferKeys = {
    "0",  "1",  "2",  "3",  "4",  "5",  "6",   "7",   "9",   "11",  "12",  "13",  "14",
    "17", "28", "29", "30", "31", "32", "58",  "59",  "65",  "91",  "92",  "93",  "100",
    "101", "102", "110", "111", "113", "115", "117", "119", "121", "123", "125"};

TEST(RideOffer, WholePacketOfAnOrdinaryRide) {
  const std::string packet =
      RideOfferPacket(MakeRow(BaseRide()), "mux4711", "01020304050607", Amounts::kSuppressed);
  const std::vector<std::string> expected_fields = {
      "345", "FORM", "NEW", "120", "mux4711", "0", "037",
      "0", "0000012345", "1", "0", "2", "Hénri de Vries", "3", "Stationsplein 12 bis",
      "4", "Eindhoven", "5", "0930", "6", "Markt 1", "7", "Geldrop", "9", "Bij de zij-ingang",
      "11", "0", "12", "01250", "13", "1", "14", "0", "17", "01020304050607", "28", "", "29", "",
      "30", "0", "31", "P-77 ", "32", "1", "58", "Bij de zij-ingang", "59", "", "65", "0",
      "91", "NL", "92", "5611AB", "93", "12", "100", "NL", "101", "5664HN", "102", "1",
      "110", "Memo:", "111", "Rolstoel  opvouwbaar", "113", "", "115", "", "117", "", "119", "",
      "121", "", "123", "", "125", ""};
  EXPECT_EQ(packet, gateway::BuildPacket(expected_fields));
  EXPECT_EQ(packet.substr(1, 4), gateway::ZeroPadded(static_cast<long long>(core::Utf8Length(packet)), 4));
}

TEST(RideOffer, EmptyRideStillHas37PairsInTheirOrder) {
  const auto pairs = RideOfferPairs(MakeRow({}), kDefaultTripOptions, Amounts::kSuppressed);
  EXPECT_EQ(Keys(pairs), kOfferKeys);
  const auto values = ByKey(pairs);
  EXPECT_EQ(values.at("0"), "0000000000");
  EXPECT_EQ(values.at("3"), " ");  // street, the blank, no number
  EXPECT_EQ(values.at("5"), "0000");
  EXPECT_EQ(values.at("12"), "00000");
  EXPECT_EQ(values.at("13"), "0");
  EXPECT_EQ(values.at("17"), "01050201040002");
  EXPECT_EQ(values.at("32"), "1");
  EXPECT_EQ(values.at("65"), "32");  // pla_combineren reads as 0
  for (const char* key : {"2", "4", "7", "9", "31", "58", "59", "92", "93", "111", "125"})
    EXPECT_EQ(values.at(key), "") << key;

  const std::string packet = RideOfferPacket(MakeRow({}), "", kDefaultTripOptions, Amounts::kShown);
  const auto fields = gateway::ReadPacket(packet);
  EXPECT_EQ(fields.Get("SIZE"), "037");
  EXPECT_EQ(fields.Get("TAG"), "000");
  EXPECT_EQ(fields.size(), 7u + 37u);
}

struct OfferCase {
  const char* name;
  Columns changes;
  Amounts amounts;
  std::map<std::string, std::string> expected;  // key -> value
};

class RideOfferRule : public ::testing::TestWithParam<OfferCase> {};

TEST_P(RideOfferRule, GivesTheseValues) {
  const OfferCase& c = GetParam();
  const auto values = ByKey(RideOfferPairs(MakeRow(With(BaseRide(), c.changes)), "x", c.amounts));
  for (const auto& [key, expected] : c.expected) EXPECT_EQ(values.at(key), expected) << "key " << key;
}

const std::string kLongText =
    // 45 characters, a line break inside a word, then the forbidden characters.
    "Eerste regel van de tekst voor de chauffeur, l\r\nang;\"genoeg\"#en meer: "
    "ü-tekens tellen als één teken bij het snijden van de tekst in stukken van veertig "
    "tekens     en spaties aan de randen verdwijnen";

INSTANTIATE_TEST_SUITE_P(
    Rules, RideOfferRule,
    ::testing::Values(
        OfferCase{"RideNumberTagAndKey0", {{"pla_id", 7LL}}, Amounts::kShown, {{"0", "0000000007"}}},
        OfferCase{"FareInHundredths", {{"pla_bedrag", core::Decimal::FromHundredths(1250)}}, Amounts::kShown,
                  {{"12", "01250"}}},
        OfferCase{"FareZero", {{"pla_bedrag", core::Decimal()}}, Amounts::kShown, {{"12", "00000"}}},
        OfferCase{"FareKeepsTheLastFiveDigits", {{"pla_bedrag", core::Decimal::FromHundredths(123456)}},
                  Amounts::kShown, {{"12", "23456"}}},
        OfferCase{"FareReadAsBinaryDecimal", {{"pla_bedrag", 19.99}}, Amounts::kShown, {{"12", "01999"}}},
        OfferCase{"FareHiddenForRcWhenSuppressed", {{"pla_rc", 1LL}}, Amounts::kSuppressed,
                  {{"12", "00.00"}, {"11", "2"}}},
        OfferCase{"FareShownForRcWhenNotSuppressed", {{"pla_rc", 1LL}}, Amounts::kShown,
                  {{"12", "01250"}, {"11", "2"}}},
        OfferCase{"FareShownWithoutRcWhenSuppressed", {{"pla_rc", 2LL}}, Amounts::kSuppressed,
                  {{"12", "01250"}, {"11", "0"}}},
        OfferCase{"TwelvePassengersGiveTheLastDigit", {{"pla_lopers", 10LL}, {"pla_rollers", 2LL}},
                  Amounts::kShown, {{"13", "2"}}},
        OfferCase{"CallFlag", {{"pla_telefoon", std::string("040-1234567")}, {"pla_bellen", 1LL}},
                  Amounts::kShown, {{"5", "0930B"}, {"32", "0"}}},
        OfferCase{"NoCallWithoutTelephone", {{"pla_telefoon", std::string("")}, {"pla_bellen", 1LL}},
                  Amounts::kShown, {{"5", "0930"}, {"32", "1"}}},
        OfferCase{"NoCallWhenNotToBeCalled", {{"pla_telefoon", std::string("040")}, {"pla_bellen", 2LL}},
                  Amounts::kShown, {{"5", "0930"}, {"32", "1"}}},
        OfferCase{"AfternoonOnThe24HourClock", {{"pla_tijdstip", core::DateTime{2026, 1, 1, 17, 5, 59}}},
                  Amounts::kShown, {{"5", "1705"}}},
        OfferCase{"AllThreeAttributes", {{"pla_combineren", 0LL}, {"pla_voorin", 1LL}, {"pla_rolstoel", 1LL}},
                  Amounts::kShown, {{"65", "35"}}},
        OfferCase{"NotCombinedAlone", {{"pla_combineren", 0LL}}, Amounts::kShown, {{"65", "32"}}},
        OfferCase{"NoAttributes", {{"pla_combineren", 5LL}, {"pla_voorin", 2LL}, {"pla_rolstoel", 2LL}},
                  Amounts::kShown, {{"65", "0"}}},
        OfferCase{"HouseNumberOfSevenLeavesNoRoomForTheSuffix",
                  {{"pla_ophnummer", std::string("1234567")}, {"pla_besstraat", std::string(" Markt  ")},
                   {"pla_bestnummer", std::string("12345")}, {"pla_bestnummertoe", std::string("abc")}},
                  Amounts::kShown, {{"3", "Stationsplein 1234567"}, {"6", "Markt 12345 a"}, {"93", "1234567"}}},
        OfferCase{"SuffixWithoutNumber",
                  {{"pla_ophnummer", db::Null{}}, {"pla_ophnummertoe", std::string("A")}},
                  Amounts::kShown, {{"3", "Stationsplein A"}}},
        OfferCase{"PostcodesLoseTheirBlanks",
                  {{"pla_ophpostcode", std::string(" 5611 AB ")}, {"pla_bestpostcode", std::string("5664 HN")}},
                  Amounts::kShown, {{"92", "5611AB"}, {"101", "5664HN"}}},
        OfferCase{"NameTrimmedThenCutTo18Characters",
                  {{"pla_naam_reiziger", std::string("   Ängelique van der Wëtering ")}}, Amounts::kShown,
                  {{"2", "Ängelique van der "}}},
        OfferCase{"RemarkCutTwoWays",
                  {{"pla_opmerking", std::string("  Bellen bij aankomst, niet toeteren, hond ")}},
                  Amounts::kShown,
                  {{"9", "  Bellen bij aankomst, ni"},
                   {"58", "Bellen bij aankomst,"},
                   {"59", " niet toeteren, ho"}}},
        OfferCase{"RemarkOfAccentedCharactersCutInCharacters",
                  {{"pla_opmerking", std::string("ééééééééééééééééééééééééééééééééééééééééééééé")}},
                  Amounts::kShown,
                  {{"9", "ééééééééééééééééééééééééé"},
                   {"58", "éééééééééééééééééééé"},
                   {"59", "éééééééééééééééééééé"}}},
        OfferCase{"FreeTextCleanedThenSlicedAndTrimmed", {{"pla_tekst", kLongText}}, Amounts::kShown,
                  {{"111", "Eerste regel van de tekst voor de chauff"},
                   {"113", "eur  lang  genoeg  en meer: ü-tekens tel"},
                   {"115", "len als één teken bij het snijden van de"},
                   {"117", "tekst in stukken van veertig tekens"},
                   {"119", "en spaties aan de randen verdwijnen"},
                   {"121", ""}}},
        OfferCase{"FreeTextBeyond320CharactersIsNotSent", {{"pla_tekst", std::string(400, 'a') + "\n"}},
                  Amounts::kShown, {{"125", std::string(40, 'a')}}},
        OfferCase{"ValuesAsStoredAreNotTrimmed",
                  {{"pla_pasnummer", std::string(" 77 ")}, {"pla_ophnummer", std::string(" 12")}},
                  Amounts::kShown, {{"31", " 77 "}, {"93", " 12"}, {"3", "Stationsplein 12 bis"}}}),
    [](const ::testing::TestParamInfo<OfferCase>& info) { return std::string(info.param.name); });

TEST(RideOffer, TagIsTheLastThreeDigitsOfTheRide) {
  for (const auto& [pla_id, tag] : std::vector<std::pair<long long, std::string>>{{12345, "345"}, {7, "007"}}) {
    const auto fields = gateway::ReadPacket(
        RideOfferPacket(MakeRow(With(BaseRide(), {{"pla_id", pla_id}})), "X", "", Amounts::kShown));
    EXPECT_EQ(fields.Get("TAG"), tag);
  }
}

TEST(CleanText, ReplacesAndRemovesInOrder) {
  EXPECT_EQ(CleanText("a,b;c\"d#e\r\nf\ng\rh"), "a b c d efgh");
  EXPECT_EQ(CleanText(""), "");
}

TEST(TripOptions, SecondReservedBeforeFirstOrTheDefault) {
  EXPECT_EQ(TripOptionsString({}), "01050201040002");
  const db::Row zol = MakeRow({{"zol_id", 4LL},
                               {"zol_taximeter", std::string("01")},
                               {"zol_ontvangstbewijs", std::string("02")},
                               {"zol_reserved1", std::string("R1")},
                               {"zol_reserved2", std::string("R2")},
                               {"zol_betaalinfo", std::string("05")},
                               {"zol_printinfo", std::string("06")},
                               {"zol_autoprint", std::string("07")}});
  const db::Row other = MakeRow({{"zol_taximeter", std::string("99")}});
  EXPECT_EQ(TripOptionsString({zol, other}), "0102R2R1050607");
  EXPECT_EQ(TripOptionsString({MakeRow({{"zol_taximeter", std::string("01")}, {"zol_autoprint", db::Null{}}})}),
            "01");
}

TEST(RideWithdrawal, OnlyTheRideNumber) {
  const std::string packet = RideWithdrawalPacket(12345, "X");
  EXPECT_EQ(packet, gateway::BuildPacket({"345", "FORM", "NEW", "120", "X", "0", "001", "0", "0000012345"}));
  // Tag and key "0" as the offer of the same ride gives them.
  const auto offer = gateway::ReadPacket(RideOfferPacket(MakeRow(BaseRide()), "X", "", Amounts::kShown));
  const auto withdrawal = gateway::ReadPacket(packet);
  EXPECT_EQ(withdrawal.Get("TAG"), offer.Get("TAG"));
  EXPECT_EQ(withdrawal.Get("0"), offer.Get("0"));
}

}  // namespace
}  // namespace dorvek::outbound
