#include "db/queries.h"

#include <fmt/format.h>

namespace dorvek::db::queries {

std::string AcceptRideStatement(long long pla_id) {
  return fmt::format("update planning set pla_com_status=1 where pla_id={}", pla_id);
}

std::string ReturnRideStatement(long long wag_id, long long wag_taxis, long long lsn_route,
                                long long lsn_rit) {
  std::string sql = fmt::format(
      "UPDATE PLANNING SET pla_com_status=0, pla_auto_wagen=0, pla_planning={}, "
      "pla_planning_taxis={}, pla_spoed=1, pla_lsn=0, pla_status='W'",
      wag_id, wag_taxis);
  if (lsn_route > 0) return sql + fmt::format(" where pla_route={}", lsn_route);
  return sql + fmt::format(" where pla_id={}", lsn_rit);
}

std::string FreeTripSheetStatement(long long lsn_id) {
  return fmt::format("UPDATE RITSTATEN SET lsn_rit=0, lsn_route=0, lsn_actie='B' where lsn_id={}",
                     lsn_id);
}

std::string NoShowTripSheetStatement(long long lsn_id) {
  return fmt::format("UPDATE RITSTATEN SET lsn_actie='L' where lsn_route=0 AND lsn_id={}", lsn_id);
}

std::string PassengerOnBoardTripSheetStatement(long long lsn_id) {
  return fmt::format("UPDATE RITSTATEN SET lsn_actie='K' where lsn_id={}", lsn_id);
}

std::string OdometerStatement(long long reading_tenths, long long wag_id) {
  return fmt::format("update wagens set wag_kmstand=({}/10) where wag_id={}", reading_tenths,
                     wag_id);
}

std::string RideQuery(long long pla_id) {
  return fmt::format("select * from planning where pla_id={}", pla_id);
}

std::string UncompletedRideQuery(long long pla_id) {
  return fmt::format("select * from planning where pla_status <> 'V' AND pla_id={}", pla_id);
}

std::string HighestOdometerQuery(long long wag_id) {
  return fmt::format("select max(bra_odometer_huidig) as waarde from brandstof where bra_wag_id={}",
                     wag_id);
}

std::string TripOptionsQuery(long long bdr_id, long long pla_rc) {
  return fmt::format("select * from zolinstellingen where zol_bdr_id={} AND zol_vor_id=:{} AND zol_rc={}",
                     bdr_id, kTripOptionsVervoerParam, pla_rc);
}

}  // namespace dorvek::db::queries
