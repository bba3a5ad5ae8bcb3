#pragma once
// Rows as the checker compares them: each column's value as normalized text, NULL as
// nothing. Integers in decimal, amounts with two places, date-times to the second,
// texts as they stand, an empty text counting as NULL (backends and drivers differ in
// which of the two they keep).

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/date_time.h"
#include "core/decimal.h"
#include "db/row.h"

namespace dorvek::fleet {

using Cell = std::optional<std::string>;
using Cells = std::map<std::string, Cell>;

enum class ColumnKind { kInt, kDecimal, kDate, kText };

struct ColumnSpec {
  const char* name;
  ColumnKind kind;
};

inline Cell IntCell(long long value) { return std::to_string(value); }
inline Cell DecimalCell(core::Decimal value) { return value.ToString(); }
inline Cell DateCell(const core::DateTime& value) { return value.ToSql(); }
inline Cell TextCell(const std::string& text) { return text.empty() ? Cell() : Cell(text); }

// The value of a column of a row read back, normalized by its kind.
Cell ReadCell(const db::Row& row, const ColumnSpec& column);
Cells ReadCells(const db::Row& row, const std::vector<ColumnSpec>& columns);

// "column: expected X, found Y" for every column of `columns` where they differ; empty
// when they agree.
std::vector<std::string> CompareCells(const Cells& expected, const Cells& actual,
                                      const std::vector<ColumnSpec>& columns);
std::string ShowCell(const Cell& cell);

// The columns the checker compares, per table.
const std::vector<ColumnSpec>& RideColumns();
const std::vector<ColumnSpec>& SheetColumns();
const std::vector<ColumnSpec>& FuelColumns();

}  // namespace dorvek::fleet
