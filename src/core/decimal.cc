#include "core/decimal.h"

#include <cmath>
#include <limits>

#include <fmt/format.h>

namespace dorvek::core {
namespace {

constexpr long long kMax = std::numeric_limits<long long>::max();
constexpr long long kMin = std::numeric_limits<long long>::min();

long long SaturatingMultiply(long long value, long long factor) {
  long long result = 0;
  if (__builtin_mul_overflow(value, factor, &result)) return value < 0 ? kMin : kMax;
  return result;
}

}  // namespace

Decimal Decimal::FromTenths(long long tenths) { return Decimal(SaturatingMultiply(tenths, 10)); }

Decimal Decimal::FromUnits(long long units) { return Decimal(SaturatingMultiply(units, 100)); }

Decimal Decimal::FromDouble(double value) {
  if (std::isnan(value)) return Decimal();
  const double scaled = std::round(value * 100.0);
  // 2^63 is exactly representable; anything at or beyond it does not fit.
  if (scaled >= 9223372036854775808.0) return Decimal(kMax);
  if (scaled < -9223372036854775808.0) return Decimal(kMin);
  return Decimal(static_cast<long long>(scaled));
}

bool Decimal::Parse(std::string_view text, Decimal& out) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  long long value = 0;
  int places = -1;  // digits seen after the point, -1 before it
  bool digits = false;
  for (char c : text) {
    if (c == '.' && places < 0) {
      places = 0;
      continue;
    }
    if (c < '0' || c > '9' || places == 2) return false;
    if (__builtin_mul_overflow(value, 10LL, &value) || __builtin_add_overflow(value, c - '0', &value))
      return false;
    digits = true;
    if (places >= 0) ++places;
  }
  if (!digits) return false;
  for (int p = places < 0 ? 0 : places; p < 2; ++p)
    if (__builtin_mul_overflow(value, 10LL, &value)) return false;
  out = Decimal(negative ? -value : value);
  return true;
}

std::string Decimal::ToString() const {
  // Unsigned arithmetic keeps the smallest value's magnitude.
  const bool negative = hundredths_ < 0;
  const unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(hundredths_)
                                                : static_cast<unsigned long long>(hundredths_);
  return fmt::format("{}{}.{:02}", negative ? "-" : "", magnitude / 100, magnitude % 100);
}

Decimal Decimal::operator+(Decimal other) const {
  long long result = 0;
  if (__builtin_add_overflow(hundredths_, other.hundredths_, &result))
    return Decimal(other.hundredths_ < 0 ? kMin : kMax);
  return Decimal(result);
}

Decimal Decimal::operator-(Decimal other) const {
  long long result = 0;
  if (__builtin_sub_overflow(hundredths_, other.hundredths_, &result))
    return Decimal(other.hundredths_ > 0 ? kMin : kMax);
  return Decimal(result);
}

}  // namespace dorvek::core
