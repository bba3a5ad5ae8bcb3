#pragma once
// The dispatch database's procedure that re-checks a vehicle's route status.

#include <string>

#include "db/database.h"

namespace dorvek::db {

// SQL Server: "EXEC PROC_ROUTESTATUS_CONTROLE " + vehicle. PostgreSQL runs a procedure
// only with CALL: "CALL PROC_ROUTESTATUS_CONTROLE(" + vehicle + ")". SQLite has no
// procedures: the call is recorded as a row of the table PROC_ROUTESTATUS_CONTROLE.
std::string RouteStatusControleStatement(Dialect dialect, long long wag_id);

// Opens the connection, then runs the procedure for the vehicle as a plain statement in
// the connected server's dialect; its result is not read. Throws DatabaseError like any
// statement.
void CallRouteStatusControle(Database& db, long long wag_id);

}  // namespace dorvek::db
