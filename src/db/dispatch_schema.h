#pragma once
// Every table and column of the dispatch database that the service reads or writes,
// with the width of each text column. One list for three uses: texts are cut to these
// widths before they are written, `dorvekzol --check` asks the database for exactly
// these columns, and the tests hold every statement the code sends against it, so the
// list cannot drift from the code.

#include <optional>
#include <span>
#include <string_view>

namespace dorvek::db {

struct SchemaColumn {
  std::string_view name;
  int text_width = 0;  // characters of a text column the service cuts to; 0 for the rest
};

enum class SchemaObject {
  kTable,
  // PROC_ROUTESTATUS_CONTROLE: a stored procedure on SQL Server; the SQLite databases of
  // tests and demos stand in a table of that name whose rows record the calls.
  kProcedure,
};

struct SchemaTable {
  std::string_view name;
  SchemaObject object = SchemaObject::kTable;
  std::span<const SchemaColumn> columns;
};

// In the order --check reports them.
std::span<const SchemaTable> DispatchTables();

// The table or column, looked up without regard to case; nothing when the service does
// not use it.
const SchemaTable* FindSchemaTable(std::string_view table);
const SchemaColumn* FindSchemaColumn(std::string_view table, std::string_view column);

}  // namespace dorvek::db
