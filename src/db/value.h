#pragma once
// A value read from or written to the dispatch database.

#include <string>
#include <variant>

#include "core/date_time.h"
#include "core/decimal.h"

namespace dorvek::db {

struct Null {
  bool operator==(const Null&) const = default;
};

// NULL, integer, binary decimal (as backends read decimal columns, and coordinates),
// exact two-place decimal (amounts, odometer readings, distances, fuel quantities
// written by the service), text (UTF-8) or date-time.
using Value = std::variant<Null, long long, double, std::string, core::DateTime, core::Decimal>;

}  // namespace dorvek::db
