#pragma once
// A value read from or written to the dispatch database.

#include <string>
#include <variant>

#include "core/date_time.h"

namespace dorvek::db {

struct Null {
  bool operator==(const Null&) const = default;
};

// NULL, integer, decimal (amounts, odometer, coordinates), text (UTF-8) or date-time.
using Value = std::variant<Null, long long, double, std::string, core::DateTime>;

}  // namespace dorvek::db
