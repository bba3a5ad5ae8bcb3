#include "inbound/zol_gps.h"

#include <gtest/gtest.h>

#include "core/memory_event_log.h"
#include "support/case_name.h"

namespace dorvek::inbound {
namespace {

struct CoordinateCase {
  const char* text;
  int degree_digits;
  const char* separator;
  const char* expected;
};

class ConvertCoordinateTable : public ::testing::TestWithParam<CoordinateCase> {};

TEST_P(ConvertCoordinateTable, GivesDecimalDegrees) {
  const auto& c = GetParam();
  EXPECT_EQ(ConvertCoordinate(c.text, c.degree_digits, c.separator), c.expected) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConvertCoordinateTable,
    ::testing::Values(
        CoordinateCase{"+52 21 12.34", 2, ".", "52.3534"},      // worked example, latitude
        CoordinateCase{"+004 53 47.12", 3, ".", "4.8964"},      // worked example, longitude
        CoordinateCase{"+52 21 12.34", 2, ",", "52,3534"},      // comma as the configured mark
        CoordinateCase{"+004 53 47.12", 3, ",", "4,8964"},
        CoordinateCase{"522112.34", 2, ".", "52.3534"},         // no blanks, no sign
        CoordinateCase{"+52 21 12,34", 2, ".", "52.3534"},      // seconds written with a comma
        CoordinateCase{"+52 00 00.00", 2, ".", "52.0000"},      // always four decimals
        CoordinateCase{"+123 27 24.44", 3, ".", "123.4568"},    // rounded once, to four decimals
        CoordinateCase{"+004 53 47.23", 3, ".", "4.8965"},      // 4.896452..., not 4.8964
        CoordinateCase{"-52 21 12.34", 2, ".", "-52.3534"},     // south: "-" signs the whole value
        CoordinateCase{"-004 53 47.12", 3, ",", "-4,8964"},     // west
        CoordinateCase{"- 52 21 12.34", 2, ".", "-52.3534"},
        CoordinateCase{"+00 00 00.00", 2, ".", "0.0000"}),
    [](const auto& info) {
      const std::string mark = std::string(info.param.separator) == "," ? " comma" : "";
      return test_support::CaseName(info.index, info.param.text + mark);
    });

TEST(ConvertCoordinate, PieceThatIsNoNumberFails) {
  EXPECT_THROW(ConvertCoordinate("+5x 21 12.34", 2, "."), std::invalid_argument);
  EXPECT_THROW(ConvertCoordinate("+52 2a 12.34", 2, "."), std::invalid_argument);
  EXPECT_THROW(ConvertCoordinate("+52 21 12.3q", 2, "."), std::invalid_argument);
  EXPECT_THROW(ConvertCoordinate("onbekend", 2, "."), std::invalid_argument);
  EXPECT_THROW(ConvertCoordinate("", 2, "."), std::invalid_argument);
  EXPECT_THROW(ConvertCoordinate("+1 2", 2, "."), std::invalid_argument);
  EXPECT_THROW(ConvertCoordinate("--52 21 12.34", 2, "."), std::invalid_argument);
}

TEST(ConvertZOLGPS, StoresBothOrEmptiesBoth) {
  core::MemoryEventLog log;
  Position position;
  ConvertZOLGPS("+52 21 12.34", "+004 53 47.12", ".", position, log);
  EXPECT_EQ(position.breedtegraad, "52.3534");
  EXPECT_EQ(position.lengtegraad, "4.8964");
  EXPECT_TRUE(log.entries().empty());

  // A good latitude with a bad longitude keeps neither, nor the earlier pair.
  ConvertZOLGPS("+51 00 00.00", "zomaar", ".", position, log);
  EXPECT_EQ(position.breedtegraad, "");
  EXPECT_EQ(position.lengtegraad, "");
  ASSERT_EQ(log.entries().size(), 1u);
  EXPECT_EQ(log.entries()[0].type, core::EntryType::kWarning);
  EXPECT_EQ(log.entries()[0].text.rfind("GPS FOUT: ", 0), 0u);
}

TEST(ConvertZOLGPS, FailureBeforeAnySuccessLeavesBothEmpty) {
  core::MemoryEventLog log;
  Position position;
  ConvertZOLGPS("abc", "def", ".", position, log);
  EXPECT_TRUE(position.breedtegraad.empty());
  EXPECT_TRUE(position.lengtegraad.empty());
  EXPECT_EQ(log.entries().size(), 1u);
}

}  // namespace
}  // namespace dorvek::inbound
