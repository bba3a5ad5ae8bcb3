#pragma once
// A calendar date and time of day in local time, as the dispatch database stores it.

#include <chrono>
#include <optional>
#include <string>

namespace dorvek::core {

struct DateTime {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;

  // A date-time from pieces, or nothing when the pieces give no valid date or time
  // (month 13, 30 February, hour 24 and the like).
  static std::optional<DateTime> FromParts(int year, int month, int day, int hour, int minute,
                                           int second, int millisecond = 0);
  // Local time of a wall-clock instant.
  static DateTime FromTimePoint(std::chrono::system_clock::time_point t);
  // Parses "YYYY-MM-DD", or "YYYY-MM-DD HH:MM:SS" with an optional fraction of one to
  // nine digits (and a "T" in place of the blank): all of the text, or nothing.
  static std::optional<DateTime> Parse(std::string_view text);

  // The wall-clock time seconds later (earlier when negative), by the calendar alone:
  // the database keeps local wall times, so no daylight-saving shift applies. Nothing
  // when the result falls outside the years 1 to 9999.
  std::optional<DateTime> AddSeconds(long long seconds) const;

  // "YYYY-MM-DD HH:MM:SS", the one form every backend stores and reads back.
  std::string ToSql() const;
  // "YYYY-MM-DDTHH:MM:SS.mmm"
  std::string ToIsoMillis() const;
  // "yyyymmddhhnnss"
  std::string ToCompact() const;

  auto operator<=>(const DateTime&) const = default;
};

}  // namespace dorvek::core
