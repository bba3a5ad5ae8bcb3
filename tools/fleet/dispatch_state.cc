#include "fleet/dispatch_state.h"

#include <algorithm>

#include <fmt/format.h>

namespace dorvek::fleet {
namespace {

// Reads a big table in slices of its identity, so no answer holds it whole.
template <typename Each>
void ReadInSlices(db::Database& db, const std::string& table, const std::string& id, const std::string& columns,
                  Each each) {
  const auto top = db.Query(fmt::format("select max({}) as top from {}", id, table));
  const long long highest = top.empty() ? 0 : top.front().Int("top");
  constexpr long long kSlice = 20000;
  for (long long from = 0; from < highest; from += kSlice)
    for (const db::Row& row :
         db.Query(fmt::format("select {} from {} where {} > {} and {} <= {}", columns, table, id, from, id, from + kSlice)))
      each(row);
}

// A coordinate as stored, with its four places (Row::Decimal keeps two); -999 for NULL.
double Coordinate(const db::Row& row, const char* column) {
  const db::Value* v = row.Find(column);
  if (v == nullptr) return -999;
  if (const auto* d = std::get_if<double>(v)) return *d;
  if (const auto* i = std::get_if<long long>(v)) return static_cast<double>(*i);
  if (const auto* e = std::get_if<core::Decimal>(v)) return e->ToDouble();
  if (const auto* t = std::get_if<std::string>(v)) {
    try {
      return std::stod(*t);
    } catch (const std::exception&) {
    }
  }
  return -999;
}

}  // namespace

DispatchState ReadDispatchState(db::Database& db) {
  DispatchState s;
  ReadInSlices(db, "gps", "GPS_id", "GPS_Imei, GPS_Datum_UTC, GPS_Datum, GPS_Latitude, GPS_Longitude, GOS_bdr_id, GPS_Statuscode",
               [&](const db::Row& row) {
                 const auto time = row.Date("GPS_Datum_UTC");
                 PositionRows& p = s.positions[{row.Text("GPS_Imei"), time ? time->ToSql() : "NULL"}];
                 if (const auto written = row.Date("GPS_Datum"); written && p.written.size() < 8)
                   p.written.push_back(*written);
                 if (p.count++ == 0) {
                   p.latitude = Coordinate(row, "GPS_Latitude");
                   p.longitude = Coordinate(row, "GPS_Longitude");
                   p.bdr_id = row.Int("GOS_bdr_id", -1);
                   p.statuscode = row.Text("GPS_Statuscode");
                 }
               });

  std::vector<ColumnSpec> ride_columns = RideColumns();
  ride_columns.push_back({"pla_id", ColumnKind::kInt});
  std::string names;
  for (const ColumnSpec& c : ride_columns) names += (names.empty() ? "" : ", ") + std::string(c.name);
  ReadInSlices(db, "planning", "pla_id", names, [&](const db::Row& row) {
    const long long id = row.Int("pla_id");
    s.rides[id] = ReadCells(row, RideColumns());
    const Cells& ride = s.rides[id];
    const auto wagen = ride.at("pla_wagen");
    const auto located = ride.at("pla_tijdstip_locatie");
    if (ride.at("pla_naam_reiziger") == Cell("INSTAPRIT") && wagen && located) {
      const auto key = std::make_pair(std::stoll(*wagen), *located);
      // The first ride of a start; a second one is a duplicate the checker reports.
      if (!s.ids.hail_rides.count(key)) s.ids.hail_rides[key] = id;
    }
  });

  for (const db::Row& row : db.Query("select * from ritstaten")) {
    const long long id = row.Int("lsn_id");
    Cells sheet = ReadCells(row, SheetColumns());
    if (sheet["lsn_omschrijving"]) sheet["lsn_omschrijving"] = WithoutDate(*sheet["lsn_omschrijving"]);
    const auto key = std::make_tuple(row.Int("lsn_wag_id"), row.Int("lsn_chf_id"),
                                     sheet["lsn_aanvang"].value_or(std::string("NULL")));
    if (!s.ids.sheets.count(key)) s.ids.sheets[key] = id;
    s.sheets[id] = std::move(sheet);
  }

  for (const db::Row& row : db.Query("select * from brandstof order by bra_id"))
    s.fuel[row.Int("bra_wag_id")].push_back(ReadCells(row, FuelColumns()));

  for (const db::Row& row : db.Query("select mel_status, mel_type, mel_wagen, mel_actief, mel_opmerking from StatusMeldingen")) {
    Notice notice;
    notice.status = row.Int("mel_status");
    notice.text = row.Text("mel_opmerking");
    s.notices[row.Int("mel_wagen")].push_back(notice);
    if (row.Int("mel_type") != 1 || row.Int("mel_actief") != 1)
      s.notice_faults.push_back(fmt::format("mel_type {} mel_actief {}: {}", row.Int("mel_type"),
                                            row.Int("mel_actief"), notice.text));
  }

  for (const db::Row& row :
       db.Query("select bbo_wag_id, count(*) as n from berichtenbox where bbo_soort = 1 and bbo_code = 'ALIVE-NOOP' "
                "group by bbo_wag_id"))
    s.keep_alives[row.Int("bbo_wag_id")] = row.Int("n");
  for (const db::Row& row : db.Query("select bbo_id, bbo_verwerkt from berichtenbox where bbo_soort = 6"))
    s.box_rows[row.Int("bbo_id")] = row.Int("bbo_verwerkt");

  for (const db::Row& row : db.Query("select sec_wag_id, sec_sector from sectoren order by sec_id"))
    s.sectors[row.Int("sec_wag_id")].push_back(row.Int("sec_sector"));
  for (const db::Row& row : db.Query("select SkypeNumber, SkypeRitnummer from skype"))
    s.skype.emplace_back(row.Text("SkypeNumber"), row.Int("SkypeRitnummer"));
  for (const db::Row& row : db.Query("select wag_id, wag_kmstand from wagens")) s.kmstand[row.Int("wag_id")] = row.Int("wag_kmstand");

  // The test schemas record every call of the route-status procedure in a table.
  try {
    for (const db::Row& row : db.Query("select wag_id, count(*) as n from PROC_ROUTESTATUS_CONTROLE group by wag_id"))
      s.route_checks[row.Int("wag_id")] = row.Int("n");
    s.route_checks_recorded = true;
  } catch (const db::DatabaseError&) {
  }
  return s;
}

}  // namespace dorvek::fleet
