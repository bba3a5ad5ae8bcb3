#include "db/route_status.h"

#include <fmt/format.h>

namespace dorvek::db {

std::string RouteStatusControleStatement(Dialect dialect, long long wag_id) {
  switch (dialect) {
    case Dialect::kSqlite:
      return fmt::format("INSERT INTO PROC_ROUTESTATUS_CONTROLE (wag_id) VALUES ({})", wag_id);
    case Dialect::kPostgreSql:
      return fmt::format("CALL PROC_ROUTESTATUS_CONTROLE({})", wag_id);
    case Dialect::kSqlServer:
      break;
  }
  return fmt::format("EXEC PROC_ROUTESTATUS_CONTROLE {}", wag_id);
}

void CallRouteStatusControle(Database& db, long long wag_id) {
  // The dialect is the connected server's: open first, so it is known.
  db.Open();
  db.Execute(RouteStatusControleStatement(db.dialect(), wag_id));
}

}  // namespace dorvek::db
