#include "db/dispatch_schema.h"

#include "core/ascii.h"

namespace dorvek::db {
namespace {

constexpr SchemaColumn kWagens[] = {
    {"wag_id"}, {"wag_bdr_id"}, {"wag_taxis"}, {"wag_type", 1}, {"wag_imei", 20}, {"wag_kmstand"},
};

constexpr SchemaColumn kBedrijven[] = {{"bdr_id"}};

constexpr SchemaColumn kPlanning[] = {
    {"pla_id"},
    {"pla_bdr_id"},
    {"pla_datum"},
    {"pla_tijdstip"},
    {"pla_tijdstip_locatie"},
    {"pla_tijdstip_toewijzen"},
    {"pla_tijdstip_bestemmen"},
    {"pla_tijdstip_vrijmelden"},
    {"pla_ophstraat", 50},
    {"pla_ophnummer", 10},
    {"pla_ophnummertoe", 6},
    {"pla_ophpostcode", 10},
    {"pla_ophstad", 50},
    {"pla_oph_land", 2},
    {"pla_besstraat", 50},
    {"pla_bestnummer", 10},
    {"pla_bestnummertoe", 6},
    {"pla_bestpostcode", 10},
    {"pla_beststad", 50},
    {"pla_start_straat", 40},
    {"pla_start_stad", 40},
    {"pla_eind_straat", 40},
    {"pla_eind_stad", 40},
    {"pla_opmerking", 50},
    {"pla_tekst"},  // long text
    {"pla_naam_reiziger", 50},
    {"pla_telefoon", 40},
    {"pla_bellen"},
    {"pla_reiziger"},
    {"pla_pasnummer", 40},
    {"pla_rolstoel"},
    {"pla_rollers"},
    {"pla_lopers"},
    {"pla_voorin"},
    {"pla_combineren"},
    {"pla_wagen"},
    {"pla_chauffeur"},
    {"pla_lsn"},
    {"pla_route"},
    {"pla_status", 1},
    {"pla_com_status"},
    {"pla_soortvervoer", 1},
    {"pla_soortwagen", 1},
    {"pla_soortrit", 1},
    {"pla_filter", 1},
    {"pla_rc"},
    {"pla_tarief_bedrijf"},
    {"pla_bedrag"},
    {"pla_bedrag_1"},
    {"pla_km_map"},
    {"pla_odo_start"},
    {"pla_odo_stop"},
    {"pla_wachtseconden"},
    {"pla_redenloosmelden", 50},
    {"pla_eigenaar", 3},
    {"pla_retour_rbs"},
    {"pla_cloud"},
    {"pla_tx_payment_type"},
    {"pla_tx_stop_type"},
    {"pla_tx_max_speed"},
    {"pla_tx_beladen"},
    {"pla_tx_arrival_stop"},
    {"pla_tx_paid_amount"},
    {"pla_tx_paid_extra"},
    // set only by the statement that hands a refused ride back to the dispatchers
    {"pla_auto_wagen"},
    {"pla_planning"},
    {"pla_planning_taxis"},
    {"pla_spoed"},
};

constexpr SchemaColumn kRitstaten[] = {
    {"lsn_id"},
    {"lsn_bdr_id"},
    {"lsn_wag_id"},
    {"lsn_chf_id"},
    {"lsn_status"},
    {"lsn_actie", 1},
    {"lsn_rit"},
    {"lsn_route"},
    {"lsn_aanvang"},
    {"lsn_einde"},
    {"lsn_aanvang_bct"},
    {"lsn_einde_bct"},
    {"lsn_kilometerstand_aanvang"},
    {"lsn_kilometerstand_einde"},
    {"lsn_omschrijving", 20},
};

constexpr SchemaColumn kChauffeurs[] = {
    {"chf_id"}, {"chf_naam", 40}, {"chf_pasnummer", 40}, {"chf_bdr_id"},
};

constexpr SchemaColumn kConstanten[] = {
    {"con_bdr_id"}, {"con_contant"}, {"con_tarief"}, {"con_land", 3}, {"con_standaard_uren"},
};

constexpr SchemaColumn kGps[] = {
    {"GPS_Datum"},    {"GPS_Datum_UTC"}, {"GPS_Imei", 20}, {"GPS_Statuscode", 20},
    {"GPS_Latitude"}, {"GPS_Longitude"}, {"GOS_bdr_id"},
};

constexpr SchemaColumn kBerichtenbox[] = {
    {"bbo_id"},       {"bbo_soort"}, {"bbo_bdr_id"}, {"bbo_wag_id"}, {"bbo_code", 20},
    {"bbo_datum"},    {"bbo_verwerkt"}, {"bbo_pakket"},  // long text
    {"bbo_pla_id"},   {"bbo_actie"},
};

constexpr SchemaColumn kSectoren[] = {
    {"sec_bdr_id"}, {"sec_wag_id"}, {"sec_datum"}, {"sec_sector"},
};

constexpr SchemaColumn kBrandstof[] = {
    {"bra_datum"},  {"bra_wag_id"},          {"bra_chf_id"},         {"bra_bdr_id"},
    {"bra_liters"}, {"bra_odometer_huidig"}, {"bra_odometer_vorig"}, {"bra_bedrag"},
};

constexpr SchemaColumn kSkype[] = {
    {"SkypeDate"}, {"SkypeNumber", 50}, {"SkypeStatus"}, {"SkypeRitnummer"},
};

constexpr SchemaColumn kZolinstellingen[] = {
    {"zol_bdr_id"},          {"zol_vor_id"},    {"zol_rc"},
    {"zol_taximeter", 2},    {"zol_ontvangstbewijs", 2},
    {"zol_reserved1", 2},    {"zol_reserved2", 2},
    {"zol_betaalinfo", 2},   {"zol_printinfo", 2},
    {"zol_autoprint", 2},
};

constexpr SchemaColumn kStatusMeldingen[] = {
    {"mel_type"}, {"mel_status"}, {"mel_wagen"}, {"mel_actief"}, {"mel_opmerking", 100},
};

// The SQLite stand-in's column; SQL Server's procedure takes the vehicle as its argument.
constexpr SchemaColumn kRouteStatus[] = {{"wag_id"}};

constexpr SchemaTable kTables[] = {
    {"wagens", SchemaObject::kTable, kWagens},
    {"BEDRIJVEN", SchemaObject::kTable, kBedrijven},
    {"planning", SchemaObject::kTable, kPlanning},
    {"ritstaten", SchemaObject::kTable, kRitstaten},
    {"chauffeurs", SchemaObject::kTable, kChauffeurs},
    {"constanten", SchemaObject::kTable, kConstanten},
    {"gps", SchemaObject::kTable, kGps},
    {"berichtenbox", SchemaObject::kTable, kBerichtenbox},
    {"sectoren", SchemaObject::kTable, kSectoren},
    {"brandstof", SchemaObject::kTable, kBrandstof},
    {"skype", SchemaObject::kTable, kSkype},
    {"zolinstellingen", SchemaObject::kTable, kZolinstellingen},
    {"StatusMeldingen", SchemaObject::kTable, kStatusMeldingen},
    {"PROC_ROUTESTATUS_CONTROLE", SchemaObject::kProcedure, kRouteStatus},
};

}  // namespace

std::span<const SchemaTable> DispatchTables() { return kTables; }

const SchemaTable* FindSchemaTable(std::string_view table) {
  for (const SchemaTable& t : kTables)
    if (core::EqualsNoCase(t.name, table)) return &t;
  return nullptr;
}

const SchemaColumn* FindSchemaColumn(std::string_view table, std::string_view column) {
  const SchemaTable* t = FindSchemaTable(table);
  if (t == nullptr) return nullptr;
  for (const SchemaColumn& c : t->columns)
    if (core::EqualsNoCase(c.name, column)) return &c;
  return nullptr;
}

}  // namespace dorvek::db
