#include "db/column_widths.h"

#include "core/ascii.h"

namespace dorvek::db {
namespace {

struct Width {
  std::string_view table;
  std::string_view column;
  int width;
};

constexpr Width kWidths[] = {
    {"wagens", "wag_type", 1},
    {"wagens", "wag_imei", 20},

    {"planning", "pla_ophstraat", 50},
    {"planning", "pla_ophnummer", 10},
    {"planning", "pla_ophnummertoe", 6},
    {"planning", "pla_ophpostcode", 10},
    {"planning", "pla_ophstad", 50},
    {"planning", "pla_oph_land", 2},
    {"planning", "pla_besstraat", 50},
    {"planning", "pla_bestnummer", 10},
    {"planning", "pla_bestnummertoe", 6},
    {"planning", "pla_bestpostcode", 10},
    {"planning", "pla_beststad", 50},
    {"planning", "pla_start_straat", 40},
    {"planning", "pla_start_stad", 40},
    {"planning", "pla_eind_straat", 40},
    {"planning", "pla_eind_stad", 40},
    {"planning", "pla_opmerking", 50},
    {"planning", "pla_naam_reiziger", 50},
    {"planning", "pla_telefoon", 40},
    {"planning", "pla_pasnummer", 40},
    {"planning", "pla_status", 1},
    {"planning", "pla_soortvervoer", 1},
    {"planning", "pla_soortwagen", 1},
    {"planning", "pla_soortrit", 1},
    {"planning", "pla_filter", 1},
    {"planning", "pla_redenloosmelden", 50},
    {"planning", "pla_eigenaar", 3},

    {"ritstaten", "lsn_actie", 1},
    {"ritstaten", "lsn_omschrijving", 20},

    {"chauffeurs", "chf_naam", 40},
    {"chauffeurs", "chf_pasnummer", 40},

    {"constanten", "con_land", 3},

    {"gps", "GPS_Imei", 20},
    {"gps", "GPS_Statuscode", 20},

    {"berichtenbox", "bbo_code", 20},

    {"skype", "SkypeNumber", 50},

    {"zolinstellingen", "zol_taximeter", 2},
    {"zolinstellingen", "zol_ontvangstbewijs", 2},
    {"zolinstellingen", "zol_reserved1", 2},
    {"zolinstellingen", "zol_reserved2", 2},
    {"zolinstellingen", "zol_betaalinfo", 2},
    {"zolinstellingen", "zol_printinfo", 2},
    {"zolinstellingen", "zol_autoprint", 2},

    {"StatusMeldingen", "mel_id", 38},
    {"StatusMeldingen", "mel_opmerking", 100},
};

bool SameName(std::string_view a, std::string_view b) { return core::EqualsNoCase(a, b); }

}  // namespace

std::optional<int> TextColumnWidth(std::string_view table, std::string_view column) {
  for (const Width& w : kWidths)
    if (SameName(w.table, table) && SameName(w.column, column)) return w.width;
  return std::nullopt;
}

}  // namespace dorvek::db
