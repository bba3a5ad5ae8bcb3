#pragma once
// One row of a query result, its columns looked up by name without regard to case.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/value.h"

namespace dorvek::db {

class Row {
 public:
  Row() = default;
  Row(std::vector<std::string> names, std::vector<Value> values);

  bool Has(std::string_view column) const;
  // NULL and a missing column are both null.
  bool IsNull(std::string_view column) const;
  const Value* Find(std::string_view column) const;

  // Conversions that accept whatever type the backend reported (an integer stored as
  // text, a decimal as integer, MAX(...) as text). A NULL, a missing column or a value
  // that does not convert gives the fallback.
  long long Int(std::string_view column, long long fallback = 0) const;
  double Decimal(std::string_view column, double fallback = 0.0) const;  // rounded to 2 places
  // The value as an exact two-place decimal (a decimal(18,2) column read back).
  core::Decimal Exact(std::string_view column, core::Decimal fallback = {}) const;
  std::string Text(std::string_view column, std::string fallback = {}) const;
  std::optional<core::DateTime> Date(std::string_view column) const;

  const std::vector<std::string>& names() const { return names_; }
  const std::vector<Value>& values() const { return values_; }

 private:
  std::vector<std::string> names_;
  std::vector<Value> values_;
};

}  // namespace dorvek::db
