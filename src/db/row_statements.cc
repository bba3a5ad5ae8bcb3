#include "db/row_statements.h"

#include <algorithm>

#include <fmt/format.h>

#include "core/codepage.h"
#include "db/column_widths.h"
#include "core/ascii.h"

namespace dorvek::db {
namespace {

bool IsIdentifier(std::string_view name) {
  if (name.empty()) return false;
  const auto letter = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
  };
  if (!letter(name.front())) return false;
  return std::all_of(name.begin(), name.end(),
                     [&](char c) { return letter(c) || (c >= '0' && c <= '9'); });
}

bool SameName(std::string_view a, std::string_view b) { return core::EqualsNoCase(a, b); }

void CheckIdentifier(std::string_view name) {
  if (!IsIdentifier(name)) throw DatabaseError(fmt::format("Invalid name in statement: '{}'", name));
}

void CheckColumns(std::string_view table, const Columns& columns) {
  CheckIdentifier(table);
  for (std::size_t i = 0; i < columns.size(); ++i) {
    CheckIdentifier(columns[i].column);
    for (std::size_t j = 0; j < i; ++j)
      if (SameName(columns[i].column, columns[j].column))
        throw DatabaseError(fmt::format("Column {} given twice for {}", columns[i].column, table));
  }
}

// The value as it is written: a text cut to its column's width in characters.
Value Fitted(std::string_view table, const ColumnValue& column) {
  if (const auto* text = std::get_if<std::string>(&column.value)) {
    if (auto width = TextColumnWidth(table, column.column))
      return core::Utf8Truncate(*text, static_cast<std::size_t>(*width));
  }
  return column.value;
}

// The placeholder of a column's value in the statement.
std::string Placeholder(const ColumnValue& column, std::string_view name) {
  if (std::holds_alternative<core::Decimal>(column.value))
    return fmt::format("CAST(:{} AS DECIMAL(18,2))", name);
  return fmt::format(":{}", name);
}

}  // namespace

Statement BuildInsert(std::string_view table, const Columns& columns) {
  CheckColumns(table, columns);
  Statement statement;
  if (columns.empty()) {
    statement.sql = fmt::format("INSERT INTO {} DEFAULT VALUES", table);
    return statement;
  }
  std::string names;
  std::string placeholders;
  for (const ColumnValue& column : columns) {
    if (!names.empty()) {
      names += ", ";
      placeholders += ", ";
    }
    names += column.column;
    placeholders += Placeholder(column, column.column);
    statement.params.push_back({column.column, Fitted(table, column)});
  }
  statement.sql = fmt::format("INSERT INTO {} ({}) VALUES ({})", table, names, placeholders);
  return statement;
}

Statement BuildUpdate(std::string_view table, std::string_view key_column, long long key,
                      const Columns& columns) {
  CheckColumns(table, columns);
  CheckIdentifier(key_column);
  if (columns.empty()) throw DatabaseError(fmt::format("Nothing to update in {}", table));
  Statement statement;
  std::string assignments;
  for (const ColumnValue& column : columns) {
    if (!assignments.empty()) assignments += ", ";
    assignments += column.column + "=" + Placeholder(column, column.column);
    statement.params.push_back({column.column, Fitted(table, column)});
  }
  std::string key_param(key_column);
  const auto taken = [&](const std::string& name) {
    return std::any_of(columns.begin(), columns.end(),
                       [&](const ColumnValue& c) { return SameName(c.column, name); });
  };
  while (taken(key_param)) key_param = "old_" + key_param;
  statement.params.push_back({key_param, key});
  statement.sql =
      fmt::format("UPDATE {} SET {} WHERE {}=:{}", table, assignments, key_column, key_param);
  return statement;
}

}  // namespace dorvek::db
