#pragma once
// An exact decimal with two places, as the dispatch database keeps amounts, odometer
// readings, distances and fuel quantities: integer hundredths, so no binary fraction
// creeps in between a packet's digits and the stored value.

#include <compare>
#include <string>
#include <string_view>

namespace dorvek::core {

class Decimal {
 public:
  constexpr Decimal() = default;

  static constexpr Decimal FromHundredths(long long hundredths) { return Decimal(hundredths); }
  // A count of tenths (odometer readings in packets); saturates instead of overflowing.
  static Decimal FromTenths(long long tenths);
  static Decimal FromUnits(long long units);
  // The nearest two-place value of a binary number a backend returned; saturates.
  static Decimal FromDouble(double value);
  // "123", "-12.5", "0.07", " 12.50 ": digits with at most two places after a "."; any
  // other text gives nothing.
  static bool Parse(std::string_view text, Decimal& out);

  constexpr long long hundredths() const { return hundredths_; }
  double ToDouble() const { return static_cast<double>(hundredths_) / 100.0; }
  // Always two places, "." as the point: "123456.70", "-0.50", "0.00".
  std::string ToString() const;

  // Saturate at the ends of the range rather than overflow.
  Decimal operator+(Decimal other) const;
  Decimal operator-(Decimal other) const;

  constexpr auto operator<=>(const Decimal&) const = default;

 private:
  constexpr explicit Decimal(long long hundredths) : hundredths_(hundredths) {}
  long long hundredths_ = 0;
};

}  // namespace dorvek::core
