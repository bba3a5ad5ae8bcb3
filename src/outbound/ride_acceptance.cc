#include "outbound/ride_acceptance.h"

#include <exception>

#include "db/queries.h"
#include "db/route_status.h"

namespace dorvek::outbound {

void AcceptatieRit(db::Database& db, core::EventLog& log, long long pla_id) {
  if (pla_id <= 0) return;
  try {
    db.Execute(db::queries::AcceptRideStatement(pla_id));
  } catch (const std::exception& e) {
    log.Error(e.what());
  }
}

void NAKRitopdracht(db::Database& db, core::EventLog& log, long long wag_id) {
  try {
    const auto rows = db.Query(db::queries::ADOZoekRitstaat, {{"Wagen", wag_id}});
    if (rows.empty()) return;
    const db::Row& sheet = rows.front();  // the query asks for no order
    const long long lsn_id = sheet.Int("lsn_id");
    const long long vehicle = sheet.Int("wag_id");
    db.Execute(db::queries::ReturnRideStatement(vehicle, sheet.Int("wag_taxis"), sheet.Int("lsn_route"),
                                                sheet.Int("lsn_rit")));
    db.Execute(db::queries::FreeTripSheetStatement(lsn_id));
    db::CallRouteStatusControle(db, vehicle);
  } catch (const std::exception& e) {
    log.Error(e.what());
  }
}

}  // namespace dorvek::outbound
