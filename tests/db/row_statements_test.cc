#include "db/row_statements.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace dorvek::db {
namespace {

std::vector<std::string> ParamNames(const Statement& s) {
  std::vector<std::string> names;
  for (const auto& p : s.params) names.push_back(p.name);
  return names;
}

TEST(BuildInsert, NamesExactlyTheGivenColumnsInOrder) {
  const Statement s = BuildInsert("sectoren", {{"sec_datum", core::DateTime{}},
                                               {"sec_wag_id", 3LL},
                                               {"sec_bdr_id", Null{}},
                                               {"sec_sector", 12LL}});
  EXPECT_EQ(s.sql,
            "INSERT INTO sectoren (sec_datum, sec_wag_id, sec_bdr_id, sec_sector) "
            "VALUES (:sec_datum, :sec_wag_id, :sec_bdr_id, :sec_sector)");
  EXPECT_THAT(ParamNames(s),
              ::testing::ElementsAre("sec_datum", "sec_wag_id", "sec_bdr_id", "sec_sector"));
  EXPECT_EQ(s.params[1].value, Value(3LL));
  EXPECT_EQ(s.params[2].value, Value(Null{}));
}

TEST(BuildInsert, WithoutColumnsUsesTheDefaults) {
  EXPECT_EQ(BuildInsert("gps", {}).sql, "INSERT INTO gps DEFAULT VALUES");
}

TEST(BuildInsert, CutsTextToTheColumnWidthByCharacters) {
  const Statement s = BuildInsert(
      "StatusMeldingen", {{"mel_opmerking", std::string(99, 'a') + "ëë"},
                          {"mel_status", 4008LL}});
  EXPECT_EQ(std::get<std::string>(s.params[0].value), std::string(99, 'a') + "ë");
}

TEST(BuildInsert, LeavesTextOfColumnsWithoutWidthWhole) {
  const std::string text(5000, 'x');
  const Statement s = BuildInsert("berichtenbox", {{"bbo_pakket", text}});
  EXPECT_EQ(std::get<std::string>(s.params[0].value), text);
}

TEST(BuildInsert, RefusesNamesThatAreNotIdentifiers) {
  EXPECT_THROW(BuildInsert("gps; drop table gps", {{"a", 1LL}}), DatabaseError);
  EXPECT_THROW(BuildInsert("gps", {{"a b", 1LL}}), DatabaseError);
  EXPECT_THROW(BuildInsert("gps", {{"", 1LL}}), DatabaseError);
  EXPECT_THROW(BuildInsert("gps", {{"1a", 1LL}}), DatabaseError);
}

TEST(BuildInsert, RefusesAColumnGivenTwice) {
  EXPECT_THROW(BuildInsert("gps", {{"GPS_Imei", 1LL}, {"gps_imei", 2LL}}), DatabaseError);
}

TEST(BuildUpdate, SetsTheColumnsOfTheKeyedRow) {
  const Statement s = BuildUpdate("berichtenbox", "bbo_id", 17,
                                  {{"bbo_verwerkt", 1LL}, {"bbo_datum", core::DateTime{}}});
  EXPECT_EQ(s.sql,
            "UPDATE berichtenbox SET bbo_verwerkt=:bbo_verwerkt, bbo_datum=:bbo_datum "
            "WHERE bbo_id=:bbo_id");
  EXPECT_THAT(ParamNames(s), ::testing::ElementsAre("bbo_verwerkt", "bbo_datum", "bbo_id"));
  EXPECT_EQ(s.params[2].value, Value(17LL));
}

TEST(BuildUpdate, KeyColumnThatIsAlsoSetGetsItsOwnPlaceholder) {
  const Statement s = BuildUpdate("planning", "pla_id", 5, {{"pla_id", 6LL}});
  EXPECT_EQ(s.sql, "UPDATE planning SET pla_id=:pla_id WHERE pla_id=:old_pla_id");
  EXPECT_THAT(ParamNames(s), ::testing::ElementsAre("pla_id", "old_pla_id"));
}

TEST(BuildUpdate, CutsTextAndNeedsAColumn) {
  const Statement s = BuildUpdate("ritstaten", "lsn_id", 1, {{"lsn_actie", std::string("KB")}});
  EXPECT_EQ(std::get<std::string>(s.params[0].value), "K");
  EXPECT_THROW(BuildUpdate("ritstaten", "lsn_id", 1, {}), DatabaseError);
  EXPECT_THROW(BuildUpdate("ritstaten", "lsn id", 1, {{"lsn_actie", 1LL}}), DatabaseError);
}

}  // namespace
}  // namespace dorvek::db
