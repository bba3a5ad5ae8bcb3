#pragma once
// The widths of the dispatch database's text columns that the service writes.

#include <optional>
#include <string_view>

namespace dorvek::db {

// The width in characters of a text column, looked up without regard to case; nothing
// for a column that is not text or not known. A text longer than its column is cut to
// this many characters before it is written: SQL Server refuses an over-long value.
std::optional<int> TextColumnWidth(std::string_view table, std::string_view column);

}  // namespace dorvek::db
