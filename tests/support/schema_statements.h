#pragma once
// Holds the statements a test sent to the dispatch database against the list of tables
// and columns the service declares it uses (db/dispatch_schema.h), so a handler that
// starts writing a new column fails its own tests until the list names it.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dorvek::test_support {

struct WrittenColumns {
  std::string table;
  std::vector<std::string> columns;
};

// The table and the columns an INSERT ("INSERT INTO t (a, b) ...") or UPDATE ("UPDATE t
// SET a=..., b=(...) WHERE ...") writes; nothing for any other statement.
std::optional<WrittenColumns> ParseWrittenColumns(std::string_view sql);

// The tables a statement names after FROM, JOIN, INTO or UPDATE.
std::vector<std::string> NamedTables(std::string_view sql);

// Adds a test failure for every table named and every column written by these
// statements that the list does not hold.
void ExpectStatementsInSchema(const std::vector<std::string>& statements);

}  // namespace dorvek::test_support
