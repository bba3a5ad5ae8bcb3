#include "outbound/fixed_width.h"

#include <clocale>
#include <locale>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace dorvek::outbound {
namespace {

TEST(PadNumber, KeepsTheLastDigitsLeftPaddedWithZeros) {
  struct Case {
    long long value;
    int n;
    const char* expected;
  };
  for (const Case& c : {Case{7, 3, "007"}, Case{12345, 3, "345"}, Case{12345, 10, "0000012345"},
                        Case{7, 10, "0000000007"}, Case{0, 3, "000"}, Case{999, 3, "999"},
                        Case{1000, 3, "000"}, Case{5, 0, ""}}) {
    EXPECT_EQ(PadNumber(c.value, c.n), c.expected) << c.value << ", " << c.n;
  }
  EXPECT_THROW(PadNumber(-1, 3), std::invalid_argument);
}

struct FloatCase {
  const char* name;
  double x;
  int width;
  int decimals;
  const char* expected;
};

class PadFloatTest : public ::testing::TestWithParam<FloatCase> {};

TEST_P(PadFloatTest, FixedWidthZeroFilled) {
  const FloatCase& c = GetParam();
  EXPECT_EQ(PadFloat(c.x, c.width, c.decimals), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PadFloatTest,
    ::testing::Values(FloatCase{"Fare", 1250, 5, 0, "01250"}, FloatCase{"ZeroTwoDecimals", 0, 5, 2, "00.00"},
                      FloatCase{"ZeroNoDecimals", 0, 5, 0, "00000"},
                      FloatCase{"LongerKeepsTheLastCharacters", 123456, 5, 0, "23456"},
                      FloatCase{"NegativeKeepsItsSign", -500, 5, 0, "0-500"},
                      FloatCase{"OneDigitOfTwelve", 12, 1, 0, "2"}, FloatCase{"OneDigit", 3, 1, 0, "3"},
                      FloatCase{"RoundedToTheDecimals", 12.345678, 8, 3, "0012.346"},
                      FloatCase{"RoundedToAWholeNumber", 1249.6, 5, 0, "01250"},
                      FloatCase{"NegativeZeroHasNoSign", -0.0, 3, 0, "000"},
                      FloatCase{"RoundsToZeroWithoutSign", -0.4, 3, 0, "000"},
                      FloatCase{"WidthZero", 42, 0, 0, ""},
                      FloatCase{"DecimalsCutFromTheLeft", 1.5, 3, 2, ".50"}),
    [](const ::testing::TestParamInfo<FloatCase>& info) { return std::string(info.param.name); });

// A locale whose decimal point is a comma, for the C++ library; the C library's is set
// too when the system has such a locale.
struct CommaPoint : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
};

TEST(PadFloat, PointIsAlwaysAFullStopWhateverTheLocale) {
  const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new CommaPoint));
  std::string c_previous = std::setlocale(LC_NUMERIC, nullptr);
  for (const char* name : {"nl_NL.UTF-8", "de_DE.UTF-8", "nl_NL.utf8", "de_DE.utf8", "fr_FR.UTF-8"})
    if (std::setlocale(LC_NUMERIC, name) != nullptr) break;
  EXPECT_EQ(PadFloat(0, 5, 2), "00.00");
  EXPECT_EQ(PadFloat(12.5, 6, 1), "0012.5");
  std::setlocale(LC_NUMERIC, c_previous.c_str());
  std::locale::global(previous);
}

TEST(BitsToInteger, LastCharacterWeighsOne) {
  struct Case {
    const char* bits;
    long long expected;
  };
  for (const Case& c : {Case{"", 0}, Case{"0", 0}, Case{"1", 1}, Case{"10", 2}, Case{"00100011", 35},
                        Case{"00100000", 32}, Case{"00000000", 0}, Case{"00000011", 3}, Case{"1x1", 5},
                        Case{"2", 0}, Case{"11111111", 255}}) {
    EXPECT_EQ(BitsToInteger(c.bits), c.expected) << c.bits;
  }
  // Only the last 63 characters count: no overflow.
  EXPECT_EQ(BitsToInteger(std::string(100, '1')), 0x7FFFFFFFFFFFFFFFLL);
}

}  // namespace
}  // namespace dorvek::outbound
