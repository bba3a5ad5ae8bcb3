#include "core/date_time.h"

#include <ctime>

#include <fmt/format.h>

namespace dorvek::core {
namespace {

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

}  // namespace

std::optional<DateTime> DateTime::FromParts(int year, int month, int day, int hour, int minute,
                                            int second, int millisecond) {
  if (year < 1 || year > 9999 || month < 1 || month > 12) return std::nullopt;
  if (day < 1 || day > DaysInMonth(year, month)) return std::nullopt;
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
    return std::nullopt;
  if (millisecond < 0 || millisecond > 999) return std::nullopt;
  return DateTime{year, month, day, hour, minute, second, millisecond};
}

DateTime DateTime::FromTimePoint(std::chrono::system_clock::time_point t) {
  const std::time_t secs = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  localtime_r(&secs, &tm);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()) % 1000;
  return DateTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                  tm.tm_min,         tm.tm_sec,     static_cast<int>((ms.count() + 1000) % 1000)};
}

std::optional<DateTime> DateTime::Parse(std::string_view text) {
  int y, mo, d, h = 0, mi = 0, s = 0, ms = 0;
  auto digits = [&](std::size_t pos, std::size_t n, int& out) {
    if (pos + n > text.size()) return false;
    out = 0;
    for (std::size_t i = pos; i < pos + n; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      out = out * 10 + (text[i] - '0');
    }
    return true;
  };
  auto at = [&](std::size_t pos, char c) { return pos < text.size() && text[pos] == c; };
  if (!digits(0, 4, y) || !at(4, '-') || !digits(5, 2, mo) || !at(7, '-') || !digits(8, 2, d))
    return std::nullopt;
  if (text.size() > 10) {
    if (!(at(10, ' ') || at(10, 'T')) || !digits(11, 2, h) || !at(13, ':') || !digits(14, 2, mi) ||
        !at(16, ':') || !digits(17, 2, s))
      return std::nullopt;
    if (text.size() > 19) {
      // A fraction of one to nine digits; its first three are the milliseconds.
      const std::size_t count = text.size() - 20;
      int fraction = 0;
      if (!at(19, '.') || count < 1 || count > 9 || !digits(20, count, fraction)) return std::nullopt;
      ms = 0;
      for (std::size_t i = 0; i < 3; ++i) ms = ms * 10 + (i < count ? text[20 + i] - '0' : 0);
    }
  }
  return FromParts(y, mo, d, h, mi, s, ms);
}

std::optional<DateTime> DateTime::AddSeconds(long long seconds) const {
  using namespace std::chrono;
  const sys_days date = year_month_day{std::chrono::year{year},
                                       std::chrono::month{static_cast<unsigned>(month)},
                                       std::chrono::day{static_cast<unsigned>(day)}};
  long long total = 0;
  if (__builtin_mul_overflow(static_cast<long long>(date.time_since_epoch().count()), 86400LL, &total) ||
      __builtin_add_overflow(total, hour * 3600LL + minute * 60LL + second, &total) ||
      __builtin_add_overflow(total, seconds, &total))
    return std::nullopt;
  long long days = total / 86400;
  long long rest = total % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // Outside these bounds lie only years FromParts refuses; chrono need not see them.
  if (days < -800000 || days > 3000000) return std::nullopt;
  const year_month_day result{sys_days{std::chrono::days{days}}};
  return FromParts(static_cast<int>(result.year()), static_cast<int>(static_cast<unsigned>(result.month())),
                   static_cast<int>(static_cast<unsigned>(result.day())), static_cast<int>(rest / 3600),
                   static_cast<int>(rest % 3600 / 60), static_cast<int>(rest % 60), millisecond);
}

std::string DateTime::ToSql() const {
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", year, month, day, hour, minute,
                     second);
}

std::string DateTime::ToIsoMillis() const {
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}", year, month, day, hour, minute,
                     second, millisecond);
}

std::string DateTime::ToCompact() const {
  return fmt::format("{:04}{:02}{:02}{:02}{:02}{:02}", year, month, day, hour, minute, second);
}

}  // namespace dorvek::core
