#include "core/date_time.h"

#include <gtest/gtest.h>

namespace dorvek::core {
namespace {

struct ParseCase {
  const char* name;
  const char* text;
  std::optional<DateTime> expected;
};

class DateTimeParse : public ::testing::TestWithParam<ParseCase> {};

// All of the text or nothing: a half-read fraction or a wrong separator is no date.
TEST_P(DateTimeParse, TakesAllOrNothing) {
  EXPECT_EQ(DateTime::Parse(GetParam().text), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DateTimeParse,
    ::testing::Values(
        ParseCase{"Seconds", "2024-05-01 12:30:05", DateTime{2024, 5, 1, 12, 30, 5}},
        ParseCase{"T", "2024-05-01T12:30:05", DateTime{2024, 5, 1, 12, 30, 5}},
        ParseCase{"DateOnly", "2024-05-01", DateTime{2024, 5, 1}},
        ParseCase{"Millis", "2024-05-01 12:30:05.123", DateTime{2024, 5, 1, 12, 30, 5, 123}},
        ParseCase{"ShortFraction", "2024-05-01 12:30:05.1", DateTime{2024, 5, 1, 12, 30, 5, 100}},
        ParseCase{"LongFraction", "2024-05-01 12:30:05.1234567", DateTime{2024, 5, 1, 12, 30, 5, 123}},
        ParseCase{"BrokenFraction", "2024-05-01 12:30:05.1x3", std::nullopt},
        ParseCase{"EmptyFraction", "2024-05-01 12:30:05.", std::nullopt},
        ParseCase{"TrailingText", "2024-05-01 12:30:05 uur", std::nullopt},
        ParseCase{"SlashDate", "2024/05/01 12:30:05", std::nullopt},
        ParseCase{"DotTime", "2024-05-01 12.30.05", std::nullopt},
        ParseCase{"NoTimeSeparator", "2024-05-01-12:30:05", std::nullopt},
        ParseCase{"HalfTime", "2024-05-01 12:30", std::nullopt},
        ParseCase{"Month13", "2024-13-01 12:30:05", std::nullopt},
        ParseCase{"Empty", "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dorvek::core
