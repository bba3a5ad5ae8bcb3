#pragma once
// A row's columns as one line of text, so one comparison shows a whole column table.

#include <initializer_list>
#include <string>
#include <variant>

#include "db/row.h"

namespace dorvek::test_support {

// "column=value" of each column, separated by blanks: decimals with their two places,
// date-times as stored, NULL as "NULL".
inline std::string Show(const db::Row& row, std::initializer_list<const char*> columns) {
  std::string out;
  for (const char* column : columns) {
    const db::Value* value = row.Find(column);
    std::string text = "NULL";
    if (value != nullptr && std::holds_alternative<double>(*value)) text = row.Exact(column).ToString();
    else if (!row.IsNull(column)) text = row.Text(column);
    out += (out.empty() ? "" : " ") + std::string(column) + "=" + text;
  }
  return out;
}

}  // namespace dorvek::test_support
