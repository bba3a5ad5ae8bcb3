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

const std::vector<ColumnSpec>& RideColumns() {
  using K = ColumnKind;
  static const std::vector<ColumnSpec> columns = {
      {"pla_wagen", K::kInt},
      {"pla_lsn", K::kInt},
      {"pla_status", K::kText},
      {"pla_com_status", K::kInt},
      {"pla_cloud", K::kInt},
      {"pla_bedrag_1", K::kDecimal},
      {"pla_km_map", K::kDecimal},
      {"pla_odo_start", K::kDecimal},
      {"pla_odo_stop", K::kDecimal},
      {"pla_pasnummer", K::kText},
      {"pla_tijdstip_bestemmen", K::kDate},
      {"pla_tijdstip_vrijmelden", K::kDate},
      {"pla_tijdstip_locatie", K::kDate},
      {"pla_tijdstip_toewijzen", K::kDate},
      {"pla_start_straat", K::kText},
      {"pla_start_stad", K::kText},
      {"pla_eind_straat", K::kText},
      {"pla_eind_stad", K::kText},
      {"pla_besstraat", K::kText},
      {"pla_beststad", K::kText},
      {"pla_ophstraat", K::kText},
      {"pla_ophstad", K::kText},
      {"pla_oph_land", K::kText},
      {"pla_wachtseconden", K::kInt},
      {"pla_retour_rbs", K::kInt},
      {"pla_redenloosmelden", K::kText},
      {"pla_tx_payment_type", K::kInt},
      {"pla_tx_stop_type", K::kInt},
      {"pla_tx_max_speed", K::kInt},
      {"pla_tx_beladen", K::kInt},
      {"pla_tx_arrival_stop", K::kInt},
      {"pla_tx_paid_amount", K::kDecimal},
      {"pla_tx_paid_extra", K::kDecimal},
      {"pla_planning", K::kInt},
      {"pla_planning_taxis", K::kInt},
      {"pla_spoed", K::kInt},
      {"pla_auto_wagen", K::kInt},
      {"pla_filter", K::kText},
      {"pla_chauffeur", K::kInt},
      {"pla_reiziger", K::kInt},
      {"pla_tarief_bedrijf", K::kInt},
      {"pla_bdr_id", K::kInt},
      {"pla_opmerking", K::kText},
      {"pla_naam_reiziger", K::kText},
      {"pla_soortvervoer", K::kText},
      {"pla_soortwagen", K::kText},
      {"pla_soortrit", K::kText},
      {"pla_lopers", K::kInt},
      {"pla_rolstoel", K::kInt},
      {"pla_combineren", K::kInt},
      {"pla_rc", K::kInt},
      {"pla_route", K::kInt},
  };
  return columns;
}

const std::vector<ColumnSpec>& SheetColumns() {
  using K = ColumnKind;
  static const std::vector<ColumnSpec> columns = {
      {"lsn_bdr_id", K::kInt},
      {"lsn_wag_id", K::kInt},
      {"lsn_chf_id", K::kInt},
      {"lsn_status", K::kInt},
      {"lsn_actie", K::kText},
      {"lsn_rit", K::kInt},
      {"lsn_route", K::kInt},
      {"lsn_aanvang", K::kDate},
      {"lsn_einde", K::kDate},
      {"lsn_aanvang_bct", K::kDate},
      {"lsn_einde_bct", K::kDate},
      {"lsn_kilometerstand_aanvang", K::kDecimal},
      {"lsn_kilometerstand_einde", K::kDecimal},
      {"lsn_omschrijving", K::kText},
  };
  return columns;
}

const std::vector<ColumnSpec>& FuelColumns() {
  using K = ColumnKind;
  static const std::vector<ColumnSpec> columns = {
      {"bra_datum", K::kDate},        {"bra_wag_id", K::kInt},     {"bra_chf_id", K::kInt},
      {"bra_bdr_id", K::kInt},        {"bra_liters", K::kDecimal}, {"bra_odometer_huidig", K::kDecimal},
      {"bra_odometer_vorig", K::kDecimal}, {"bra_bedrag", K::kDecimal},
  };
  return columns;
}

}  // namespace dorvek::fleet
