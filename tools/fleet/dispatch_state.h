#pragma once
// What the dispatch database holds at the end of a fleet run, read through the same
// database layer the service uses and put in the checker's terms.

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fleet/cells.h"
#include "db/database.h"
#include "fleet/expectation.h"

namespace dorvek::fleet {

struct PositionRows {
  long long count = 0;
  double latitude = 0;
  double longitude = 0;
  long long bdr_id = 0;
  std::string statuscode;
  std::vector<core::DateTime> written;  // GPS_Datum of each row (the service's time)
};

struct DispatchState {
  // gps rows by (GPS_Imei, GPS_Datum_UTC).
  std::map<std::pair<std::string, std::string>, PositionRows> positions;
  std::map<long long, Cells> rides;
  std::map<long long, Cells> sheets;
  std::map<long long, std::vector<Cells>> fuel;               // by wag_id
  std::map<long long, std::vector<Notice>> notices;           // by mel_wagen
  std::vector<std::string> notice_faults;                     // rows with a wrong mel_type or mel_actief
  std::map<long long, long long> keep_alives;                 // by wag_id
  std::map<long long, std::vector<long long>> sectors;        // by wag_id
  std::vector<std::pair<std::string, long long>> skype;
  std::map<long long, long long> route_checks;                // by wag_id; empty when not recorded
  bool route_checks_recorded = false;
  std::map<long long, long long> kmstand;
  std::map<long long, long long> box_rows;                    // bbo_id of kind 6: bbo_verwerkt
  KnownIds ids;
};

// Throws db::DatabaseError when the database cannot be read.
DispatchState ReadDispatchState(db::Database& db);

}  // namespace dorvek::fleet
