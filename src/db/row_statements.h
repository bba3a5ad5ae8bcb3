#pragma once
// The INSERT and UPDATE statements that append or edit one row: pure text building,
// so what Database::Insert and Database::Update send can be checked without a database.

#include <string>
#include <string_view>

#include "db/database.h"

namespace dorvek::db {

struct Statement {
  std::string sql;
  Params params;
};

// "INSERT INTO t (a, b) VALUES (:a, :b)" with one parameter per column, in the order
// given; without columns "INSERT INTO t DEFAULT VALUES". Texts are cut to their
// column's width (TextColumnWidth). An exact decimal is bound as its digits and written
// "CAST(:a AS DECIMAL(18,2))", which every dialect converts without rounding. Throws
// DatabaseError for a name that is not a plain identifier or a column given twice.
Statement BuildInsert(std::string_view table, const Columns& columns);

// "UPDATE t SET a=:a, b=:b WHERE key=:key". Each placeholder appears once (an ODBC rule),
// so a key column that is also set gets its own placeholder name. Same cutting and
// checks as BuildInsert; at least one column is required.
Statement BuildUpdate(std::string_view table, std::string_view key_column, long long key,
                      const Columns& columns);

}  // namespace dorvek::db
