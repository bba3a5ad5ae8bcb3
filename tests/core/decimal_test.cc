#include "core/decimal.h"

#include <limits>

#include <gtest/gtest.h>

namespace dorvek::core {
namespace {

struct ParseCase {
  const char* name;
  const char* text;
  bool ok;
  long long hundredths;
};

class DecimalParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(DecimalParse, ReadsDigitsWithAtMostTwoPlaces) {
  Decimal d = Decimal::FromHundredths(-1);
  EXPECT_EQ(Decimal::Parse(GetParam().text, d), GetParam().ok);
  if (GetParam().ok) {
    EXPECT_EQ(d.hundredths(), GetParam().hundredths);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecimalParse,
    ::testing::Values(ParseCase{"Whole", "123", true, 12300}, ParseCase{"OnePlace", "123456.7", true, 12345670},
                      ParseCase{"TwoPlaces", " 12.50 ", true, 1250}, ParseCase{"Negative", "-0.07", true, -7},
                      ParseCase{"Plus", "+3.", true, 300}, ParseCase{"LeadingPoint", ".5", true, 50},
                      ParseCase{"ThreePlaces", "1.234", false, 0}, ParseCase{"Empty", "", false, 0},
                      ParseCase{"Letters", "12a", false, 0}, ParseCase{"TwoPoints", "1.2.3", false, 0},
                      ParseCase{"TooLarge", "99999999999999999999", false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Decimal, WritesTwoPlacesWithAPoint) {
  EXPECT_EQ(Decimal::FromTenths(1234567).ToString(), "123456.70");
  EXPECT_EQ(Decimal::FromHundredths(-50).ToString(), "-0.50");
  EXPECT_EQ(Decimal().ToString(), "0.00");
  EXPECT_EQ(Decimal::FromUnits(7).ToString(), "7.00");
  EXPECT_EQ(Decimal::FromHundredths(std::numeric_limits<long long>::min()).ToString(),
            "-92233720368547758.08");
}

TEST(Decimal, ArithmeticIsExactAndSaturates) {
  // The worked distance: 123489.0 km at the end, 123456.7 at the start.
  EXPECT_EQ((Decimal::FromTenths(1234890) - Decimal::FromTenths(1234567)).ToString(), "32.30");
  EXPECT_EQ((Decimal::FromHundredths(1) + Decimal::FromHundredths(2)).hundredths(), 3);
  const long long max = std::numeric_limits<long long>::max();
  EXPECT_EQ((Decimal::FromHundredths(max) + Decimal::FromHundredths(1)).hundredths(), max);
  EXPECT_EQ(Decimal::FromTenths(max / 2).hundredths(), max);
  EXPECT_EQ((Decimal::FromHundredths(-max) - Decimal::FromHundredths(5)).hundredths(),
            std::numeric_limits<long long>::min());
}

TEST(Decimal, FromDoubleRoundsToTheNearestCent) {
  EXPECT_EQ(Decimal::FromDouble(123456.7).hundredths(), 12345670);
  EXPECT_EQ(Decimal::FromDouble(0.1 + 0.2).hundredths(), 30);
  EXPECT_EQ(Decimal::FromDouble(-32.3).hundredths(), -3230);
  EXPECT_EQ(Decimal::FromDouble(1e300).hundredths(), std::numeric_limits<long long>::max());
}

}  // namespace
}  // namespace dorvek::core
