#include "db/row.h"

#include <sstream>
#include <string>
#include <type_traits>
#include <variant>

#include <gtest/gtest.h>

#include "support/case_name.h"

namespace dorvek::db {
namespace {

Row OneColumn(Value value) { return Row({"Waarde"}, {std::move(value)}); }

// A case's name: the kind of the stored value and, where it has one, its text.
std::string ValueCaseName(std::size_t index, const Value& value) {
  const std::string text = std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        std::ostringstream out;
        out.precision(12);
        if constexpr (std::is_same_v<T, Null>) out << "NULL";
        else if constexpr (std::is_same_v<T, long long>) out << "int " << v;
        else if constexpr (std::is_same_v<T, double>) out << "real " << v;
        else if constexpr (std::is_same_v<T, std::string>) out << "text " << v;
        else if constexpr (std::is_same_v<T, core::DateTime>) out << "date";
        else out << "decimal " << v.ToString();
        return out.str();
      },
      value);
  return test_support::CaseName(index, text);
}

TEST(RowLookup, NamesMatchWithoutRegardToCase) {
  const Row row({"PLA_ID", "pla_status"}, {42LL, std::string("K")});
  EXPECT_TRUE(row.Has("pla_id"));
  EXPECT_EQ(row.Int("Pla_Id"), 42);
  EXPECT_EQ(row.Text("PLA_STATUS"), "K");
  EXPECT_FALSE(row.Has("pla_wagen"));
}

TEST(RowLookup, FirstOfTwoEqualNamesWins) {
  const Row row({"wag_id", "WAG_ID"}, {1LL, 2LL});
  EXPECT_EQ(row.Int("wag_id"), 1);
}

TEST(RowLookup, NullAndMissingAreBothNullAndGiveTheFallback) {
  const Row row({"a"}, {Null{}});
  EXPECT_TRUE(row.IsNull("a"));
  EXPECT_TRUE(row.IsNull("b"));
  EXPECT_EQ(row.Int("a", -1), -1);
  EXPECT_EQ(row.Decimal("b", 9.5), 9.5);
  EXPECT_EQ(row.Text("a", "leeg"), "leeg");
  EXPECT_FALSE(row.Date("a").has_value());
}

TEST(RowLookup, MissingValuesReadAsNull) {
  const Row row({"a", "b"}, {1LL});
  EXPECT_TRUE(row.Has("b"));
  EXPECT_TRUE(row.IsNull("b"));
}

struct IntCase {
  Value value;
  long long expected;
};

class RowInt : public ::testing::TestWithParam<IntCase> {};

TEST_P(RowInt, ConvertsWhateverTheBackendReported) {
  EXPECT_EQ(OneColumn(GetParam().value).Int("waarde", -99), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RowInt,
    ::testing::Values(IntCase{123LL, 123}, IntCase{std::string("123"), 123},
                      IntCase{std::string(" -7 "), -7}, IntCase{std::string("+8"), 8},
                      IntCase{std::string("12.00"), 12}, IntCase{std::string("12.6"), 13},
                      IntCase{12.4, 12}, IntCase{-2.5, -3}, IntCase{std::string("abc"), -99},
                      IntCase{std::string(""), -99}, IntCase{std::string("12abc"), -99},
                      IntCase{1e300, -99}, IntCase{core::DateTime{}, -99}, IntCase{Null{}, -99}),
    [](const auto& info) { return ValueCaseName(info.index, info.param.value); });

struct DecimalCase {
  Value value;
  double expected;
};

class RowDecimal : public ::testing::TestWithParam<DecimalCase> {};

TEST_P(RowDecimal, RoundsToTwoPlaces) {
  EXPECT_DOUBLE_EQ(OneColumn(GetParam().value).Decimal("waarde", -99), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RowDecimal,
    ::testing::Values(DecimalCase{45.67, 45.67}, DecimalCase{45.669999999, 45.67},
                      DecimalCase{0.125000001, 0.13}, DecimalCase{12LL, 12.0},
                      DecimalCase{std::string("1234.50"), 1234.5},
                      DecimalCase{std::string("3.14159"), 3.14},
                      DecimalCase{std::string("x"), -99}, DecimalCase{Null{}, -99}),
    [](const auto& info) { return ValueCaseName(info.index, info.param.value); });

TEST(RowText, GivesTextOfEveryKind) {
  EXPECT_EQ(OneColumn(std::string("cliënt")).Text("waarde"), "cliënt");
  EXPECT_EQ(OneColumn(42LL).Text("waarde"), "42");
  EXPECT_EQ(OneColumn(12.5).Text("waarde"), "12.5");
  EXPECT_EQ(OneColumn(core::DateTime{2026, 12, 8, 1, 43, 38}).Text("waarde"),
            "2026-12-08 01:43:38");
}

TEST(RowDate, ReadsDateTimesAndTheirTextForm) {
  const core::DateTime when{2026, 12, 8, 1, 43, 38};
  EXPECT_EQ(OneColumn(when).Date("waarde"), when);
  EXPECT_EQ(OneColumn(std::string("2026-12-08 01:43:38")).Date("waarde"), when);
  EXPECT_FALSE(OneColumn(std::string("08-12-2026")).Date("waarde").has_value());
  EXPECT_FALSE(OneColumn(42LL).Date("waarde").has_value());
}

}  // namespace
}  // namespace dorvek::db
