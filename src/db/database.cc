#include "db/database.h"

#include "db/row_statements.h"

namespace dorvek::db {

bool IsConnectionFailure(const std::exception& failure) {
  const auto* error = dynamic_cast<const DatabaseError*>(&failure);
  return error != nullptr && error->kind() == FailureKind::kConnection;
}

bool IsTransientFailure(const std::exception& failure) {
  const auto* error = dynamic_cast<const DatabaseError*>(&failure);
  return error != nullptr &&
         (error->kind() == FailureKind::kConnection || error->kind() == FailureKind::kTimeout);
}

void Database::Insert(std::string_view table, const Columns& columns) {
  const Statement statement = BuildInsert(table, columns);
  Execute(statement.sql, statement.params);
}

void Database::Update(std::string_view table, std::string_view key_column, long long key,
                      const Columns& columns) {
  const Statement statement = BuildUpdate(table, key_column, key, columns);
  Execute(statement.sql, statement.params);
}

}  // namespace dorvek::db
