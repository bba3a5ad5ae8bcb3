#include "db/route_status.h"

#include <fmt/format.h>

namespace dorvek::db {

std::string RouteStatusControleStatement(Dialect dialect, long long wag_id) {
  if (dialect == Dialect::kSqlite)
    return fmt::format("INSERT INTO PROC_ROUTESTATUS_CONTROLE (wag_id) VALUES ({})", wag_id);
  return fmt::format("EXEC PROC_ROUTESTATUS_CONTROLE {}", wag_id);
}

void CallRouteStatusControle(Database& db, long long wag_id) {
  db.Execute(RouteStatusControleStatement(db.dialect(), wag_id));
}

}  // namespace dorvek::db
