#include "fleet/fleet_setup.h"

#include <fmt/format.h>

#include "fleet/random.h"

namespace dorvek::fleet {
namespace {

const std::vector<std::string> kFirstNames = {"Hénri", "Jan", "Fatima", "Zoë", "Pieter", "Anouk", "Mehmet",
                                              "Eline", "Kees", "Noël", "Sanne", "Björn", "Daan", "Loïs"};
const std::vector<std::string> kLastNames = {"de Vries", "Jansen", "Bakker", "van Dijk", "Smit", "Yilmaz",
                                             "Meijer", "de Boer", "Mulder", "van den Berg", "Visser"};

std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

}  // namespace

FleetSetup MakeFleet(const FleetShape& shape) {
  FleetSetup setup;
  setup.start = shape.start;
  Rng rng(shape.seed, 0xF1EE7);
  for (int i = 1; i <= shape.taxis; ++i) {
    Vehicle v;
    v.wag_id = i;
    v.wag_taxis = 100 + i;
    v.unit = std::to_string(5000 + i);
    v.imei = setup.zol_id + v.unit;
    v.wag_type = std::string(1, rng.Chance(0.2) ? 'B' : 'T');
    v.kmstand = rng.Between(20000, 300000);
    v.driver = i;
    setup.vehicles.push_back(v);

    Driver d;
    d.chf_id = i;
    d.naam = fmt::format("{} {}", rng.Pick(kFirstNames), rng.Pick(kLastNames));
    d.pasnummer = std::to_string(7000 + i);
    setup.drivers.push_back(d);

    if (rng.Chance(shape.on_duty_at_start)) {
      InitialSheet sheet;
      sheet.lsn_id = static_cast<long long>(setup.sheets.size()) + 1;
      sheet.wag_id = i;
      sheet.chf_id = i;
      sheet.aanvang = shape.start.AddSeconds(-rng.Between(600, 4 * 3600)).value_or(shape.start);
      sheet.km_aanvang = core::Decimal::FromUnits(v.kmstand);
      setup.sheets.push_back(sheet);
    }
  }
  return setup;
}

std::string FleetDataScript(const FleetSetup& s) {
  std::string sql;
  sql += fmt::format("INSERT INTO BEDRIJVEN (bdr_id, bdr_naam) VALUES ({}, 'Taxicentrale Kempen');\n", s.bdr_id);
  sql += fmt::format(
      "INSERT INTO constanten (con_id, con_bdr_id, con_contant, con_tarief, con_land, con_standaard_uren) "
      "VALUES (1, {}, {}, {}, {}, {});\n",
      s.bdr_id, s.con_contant, s.con_tarief, Quote(s.con_land), s.con_standaard_uren);
  for (const Vehicle& v : s.vehicles)
    sql += fmt::format(
        "INSERT INTO wagens (wag_id, wag_bdr_id, wag_taxis, wag_type, wag_imei, wag_kmstand) VALUES "
        "({}, {}, {}, {}, {}, {});\n",
        v.wag_id, s.bdr_id, v.wag_taxis, Quote(v.wag_type), Quote(v.imei), v.kmstand);
  for (const Driver& d : s.drivers)
    sql += fmt::format(
        "INSERT INTO chauffeurs (chf_id, chf_naam, chf_pasnummer, chf_bdr_id) VALUES ({}, {}, {}, {});\n",
        d.chf_id, Quote(d.naam), Quote(d.pasnummer), s.bdr_id);
  for (const InitialSheet& t : s.sheets) {
    const core::DateTime einde = t.aanvang.AddSeconds(s.con_standaard_uren * 60).value_or(t.aanvang);
    sql += fmt::format(
        "INSERT INTO ritstaten (lsn_id, lsn_bdr_id, lsn_wag_id, lsn_chf_id, lsn_status, lsn_actie, lsn_rit, "
        "lsn_route, lsn_aanvang, lsn_einde, lsn_aanvang_bct, lsn_einde_bct, lsn_kilometerstand_aanvang, "
        "lsn_omschrijving) VALUES ({}, {}, {}, {}, 0, 'B', 0, 0, '{}', '{}', '{}', '{}', {}, {});\n",
        t.lsn_id, s.bdr_id, t.wag_id, t.chf_id, t.aanvang.ToSql(), einde.ToSql(), t.aanvang.ToSql(),
        einde.ToSql(), t.km_aanvang.ToString(),
        Quote(fmt::format("ZOL-{}-{}-{}", t.aanvang.ToCompact().substr(0, 8), t.wag_id, t.chf_id).substr(0, 20)));
  }
  return sql;
}

}  // namespace dorvek::fleet
