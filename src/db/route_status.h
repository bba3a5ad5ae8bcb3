#pragma once
// The dispatch database's procedure that re-checks a vehicle's route status.

#include <string>

#include "db/database.h"

namespace dorvek::db {

// SQL Server: "EXEC PROC_ROUTESTATUS_CONTROLE " + vehicle. SQLite has no procedures:
// the call is recorded as a row of the table PROC_ROUTESTATUS_CONTROLE instead.
std::string RouteStatusControleStatement(Dialect dialect, long long wag_id);

// Runs the procedure for the vehicle as a plain statement; its result is not read.
// Throws DatabaseError like any statement.
void CallRouteStatusControle(Database& db, long long wag_id);

}  // namespace dorvek::db
