#include "db/column_widths.h"

#include "db/dispatch_schema.h"

namespace dorvek::db {

std::optional<int> TextColumnWidth(std::string_view table, std::string_view column) {
  const SchemaColumn* c = FindSchemaColumn(table, column);
  if (c == nullptr || c->text_width <= 0) return std::nullopt;
  return c->text_width;
}

}  // namespace dorvek::db
