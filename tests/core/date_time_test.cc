#include "core/date_time.h"

#include <limits>
#include <string>

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

TEST(DateTimeAddSeconds, FollowsTheCalendar) {
  struct Case {
    DateTime from;
    long long seconds;
    std::string to;
  };
  const DateTime new_year_eve{2026, 12, 31, 20, 0, 0, 250};
  for (const Case& c : {
           Case{new_year_eve, 8 * 3600, "2027-01-01 04:00:00"},
           Case{new_year_eve, 0, "2026-12-31 20:00:00"},
           Case{new_year_eve, -20 * 3600 - 1, "2026-12-30 23:59:59"},
           Case{DateTime{2028, 2, 28, 23, 30, 0}, 1800, "2028-02-29 00:00:00"},
           Case{DateTime{2027, 2, 28, 23, 30, 0}, 1800, "2027-03-01 00:00:00"},
       }) {
    SCOPED_TRACE(c.to);
    const auto result = c.from.AddSeconds(c.seconds);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->ToSql(), c.to);
    EXPECT_EQ(result->millisecond, c.from.millisecond);
  }
}

TEST(DateTimeAddSeconds, NothingOutsideTheYearsOneTo9999) {
  const DateTime t{2026, 12, 8, 10, 0, 0};
  for (long long seconds : {8000LL * 366 * 86400, -2026LL * 366 * 86400,
                            std::numeric_limits<long long>::max(), std::numeric_limits<long long>::min()})
    EXPECT_FALSE(t.AddSeconds(seconds).has_value()) << seconds;
}

}  // namespace
}  // namespace dorvek::core
