#include "fleet/cells.h"

#include <fmt/format.h>

namespace dorvek::fleet {

Cell ReadCell(const db::Row& row, const ColumnSpec& column) {
  if (row.IsNull(column.name)) return std::nullopt;
  switch (column.kind) {
    case ColumnKind::kInt:
      return IntCell(row.Int(column.name));
    case ColumnKind::kDecimal:
      return DecimalCell(row.Exact(column.name));
    case ColumnKind::kDate: {
      const auto date = row.Date(column.name);
      return date ? DateCell(*date) : Cell("(not a date)");
    }
    case ColumnKind::kText:
      return TextCell(row.Text(column.name));
  }
  return std::nullopt;
}

Cells ReadCells(const db::Row& row, const std::vector<ColumnSpec>& columns) {
  Cells cells;
  for (const ColumnSpec& column : columns) cells[column.name] = ReadCell(row, column);
  return cells;
}

std::string ShowCell(const Cell& cell) { return cell ? "\"" + *cell + "\"" : "NULL"; }

std::vector<std::string> CompareCells(const Cells& expected, const Cells& actual,
                                      const std::vector<ColumnSpec>& columns) {
  std::vector<std::string> out;
  for (const ColumnSpec& column : columns) {
    const auto e = expected.find(column.name);
    const auto a = actual.find(column.name);
    const Cell want = e == expected.end() ? Cell() : e->second;
    const Cell have = a == actual.end() ? Cell() : a->second;
    if (want != have) out.push_back(fmt::format("{} {} (expected {})", column.name, ShowCell(have), ShowCell(want)));
  }
  return out;
}

namespace {

// A table's columns, given kind by kind.
std::vector<ColumnSpec> Columns(std::initializer_list<std::pair<ColumnKind, std::vector<const char*>>> kinds) {
  std::vector<ColumnSpec> columns;
  for (const auto& [kind, names] : kinds)
    for (const char* name : names) columns.push_back({name, kind});
  return columns;
}

}  // namespace

const std::vector<ColumnSpec>& RideColumns() {
  static const std::vector<ColumnSpec> columns = Columns({
      {ColumnKind::kInt,
       {"pla_wagen", "pla_lsn", "pla_com_status", "pla_cloud", "pla_wachtseconden", "pla_retour_rbs",
        "pla_tx_payment_type", "pla_tx_stop_type", "pla_tx_max_speed", "pla_tx_beladen", "pla_tx_arrival_stop",
        "pla_planning", "pla_planning_taxis", "pla_spoed", "pla_auto_wagen", "pla_chauffeur", "pla_reiziger",
        "pla_tarief_bedrijf", "pla_bdr_id", "pla_lopers", "pla_rolstoel", "pla_combineren", "pla_rc", "pla_route"}},
      {ColumnKind::kDecimal,
       {"pla_bedrag_1", "pla_km_map", "pla_odo_start", "pla_odo_stop", "pla_tx_paid_amount", "pla_tx_paid_extra"}},
      {ColumnKind::kDate,
       {"pla_tijdstip_bestemmen", "pla_tijdstip_vrijmelden", "pla_tijdstip_locatie", "pla_tijdstip_toewijzen"}},
      {ColumnKind::kText,
       {"pla_status", "pla_pasnummer", "pla_start_straat", "pla_start_stad", "pla_eind_straat", "pla_eind_stad",
        "pla_besstraat", "pla_beststad", "pla_ophstraat", "pla_ophstad", "pla_oph_land", "pla_redenloosmelden",
        "pla_filter", "pla_opmerking", "pla_naam_reiziger", "pla_soortvervoer", "pla_soortwagen", "pla_soortrit"}},
  });
  return columns;
}

const std::vector<ColumnSpec>& SheetColumns() {
  static const std::vector<ColumnSpec> columns = Columns({
      {ColumnKind::kInt, {"lsn_bdr_id", "lsn_wag_id", "lsn_chf_id", "lsn_status", "lsn_rit", "lsn_route"}},
      {ColumnKind::kDate, {"lsn_aanvang", "lsn_einde", "lsn_aanvang_bct", "lsn_einde_bct"}},
      {ColumnKind::kDecimal, {"lsn_kilometerstand_aanvang", "lsn_kilometerstand_einde"}},
      {ColumnKind::kText, {"lsn_actie", "lsn_omschrijving"}},
  });
  return columns;
}

const std::vector<ColumnSpec>& FuelColumns() {
  static const std::vector<ColumnSpec> columns = Columns({
      {ColumnKind::kDate, {"bra_datum"}},
      {ColumnKind::kInt, {"bra_wag_id", "bra_chf_id", "bra_bdr_id"}},
      {ColumnKind::kDecimal, {"bra_liters", "bra_odometer_huidig", "bra_odometer_vorig", "bra_bedrag"}},
  });
  return columns;
}

}  // namespace dorvek::fleet
