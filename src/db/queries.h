#pragma once
// The named queries of the dispatch database with their design-time SQL, and the
// statements built at run time. Values that come from a packet are always bound as
// parameters; integers the service computed itself are written into the text.

#include <string>
#include <string_view>

namespace dorvek::db::queries {

// Opened empty; rows are appended (Insert) with the query's table.
inline constexpr std::string_view ADOGPS = "select * from gps\nwhere 1=0";
inline constexpr std::string_view ADOBerichtenInkomend = "select * from berichtenbox\nwhere 1=0";
inline constexpr std::string_view ADOSECTOREN = "select * from sectoren\nwhere 1=0";
inline constexpr std::string_view ADORIT = "select * from planning\nwhere 1=0";
inline constexpr std::string_view ADOBerichten = "select * from StatusMeldingen\nwhere 1=0";
inline constexpr std::string_view ADOSkype = "select * from skype\nwhere 1=0";
// Design texts of queries whose SQL is replaced before opening (see the builders below).
inline constexpr std::string_view ADORITBIJWERKEN = "select * from planning where 1=0";
inline constexpr std::string_view ADOTripOpties = "select * from zolinstellingen";
inline constexpr std::string_view ADOZoekrit = "select * from planning\nwhere 1=0";
inline constexpr std::string_view ADOHoogste =
    "select max(bra_odometer_huidig) as waarde from brandstof\nwhere 1=0";

// Vehicle and its company by terminal identity. Parameter "imei": text(20), nullable.
inline constexpr std::string_view ADOWAGEN =
    "select * from (wagens\nINNER JOIN BEDRIJVEN ON bdr_id =wag_bdr_id)\nwhere wag_imei =:imei";
// Open trip sheet of a vehicle in state B, L or M. Parameter "Wagennummer": integer.
inline constexpr std::string_view ADOLSN =
    "select * from ritstaten\nwhere lsn_wag_id=:Wagennummer\n"
    "AND ((lsn_actie = 'B') OR (lsn_actie= 'L') OR (lsn_actie= 'M'))\nAND lsn_status=0 ";
// Company constants. Parameter "Bedrijf": integer.
inline constexpr std::string_view ADOConstanten =
    "select * from constanten\nwhere con_bdr_id=:Bedrijf";
// Highest ride number of a vehicle in status K, as "waarde". Parameter "Wagennummer".
inline constexpr std::string_view ADORITNUMMER =
    "select MAX(PLA_ID) as waarde\nfrom planning\nwhere pla_status = 'K' \n"
    "and pla_wagen=:Wagennummer";
// Driver by pass number within a company. Parameters "Taxisnummer": text(40), nullable;
// "Bedrijfsnummer": integer.
inline constexpr std::string_view ADOChauffeurs =
    "select * from chauffeurs\nwhere chf_pasnummer=:Taxisnummer\nand chf_bdr_id=:Bedrijfsnummer";
// Open trip sheet of a vehicle and driver. Parameters "Wagennummer", "Chauffeurnummer".
inline constexpr std::string_view ADOLSNDIENST =
    "select * from ritstaten\nwhere lsn_wag_id=:Wagennummer\nAND lsn_chf_id=:Chauffeurnummer\n"
    "AND lsn_status=0 ";
// Open trip sheet of a vehicle. Parameter "Wagennummer".
inline constexpr std::string_view ADODIENSTEINDE =
    "select * from ritstaten\nwhere lsn_wag_id=:Wagennummer\nAND lsn_status=0 ";
// Unprocessed outgoing messages with their vehicle, oldest first.
inline constexpr std::string_view ADOUitgaand =
    "select * from (berichtenbox\nINNER JOIN wagens ON wag_id=bbo_wag_id)\nwhere bbo_soort=6\n"
    "AND bbo_verwerkt=0\nORDER by bbo_datum";
// The ids of the rows ADOUitgaand returns, in its order; rows of the same bbo_datum in
// the order they were written. The message box reads these and then only the row it
// handles (ADOUitgaandRow), so a backlog of long message texts is never read whole.
inline constexpr std::string_view ADOUitgaandIds =
    "select bbo_id from (berichtenbox\nINNER JOIN wagens ON wag_id=bbo_wag_id)\nwhere bbo_soort=6\n"
    "AND bbo_verwerkt=0\nORDER by bbo_datum, bbo_id";
// One row of ADOUitgaand, while it is still unprocessed. Parameter "bbo_id": integer.
inline constexpr std::string_view ADOUitgaandRow =
    "select * from (berichtenbox\nINNER JOIN wagens ON wag_id=bbo_wag_id)\nwhere bbo_soort=6\n"
    "AND bbo_verwerkt=0\nAND bbo_id=:bbo_id";
// Whether a message-box row is marked processed. Parameter "bbo_id": integer.
inline constexpr std::string_view BerichtVerwerkt =
    "select bbo_verwerkt from berichtenbox where bbo_id=:bbo_id";
// One ride. Parameter "Ritnummer": integer.
inline constexpr std::string_view ADORITUIT = "select * from planning\nwhere pla_id=:Ritnummer";
// Vehicle by number. Parameter "Wagennummer".
inline constexpr std::string_view ADOZoekWagen = "select * from wagens\nwhere wag_id=:Wagennummer";
// Open trip sheet of a vehicle in state K. Parameter "Wagennummer".
inline constexpr std::string_view ADOZOEKACTIEVERIT =
    "select * from ritstaten\nwhere lsn_wag_id=:Wagennummer\nAND lsn_status=0\nAND lsn_actie = 'K'";
// Fuel records of a vehicle, newest first. Parameter "wag_id": integer.
inline constexpr std::string_view ADOBrandstof =
    "SELECT *  FROM brandstof\nwhere bra_wag_id=:wag_id\norder by bra_datum desc";
// Open trip sheet of a vehicle with the vehicle row. Parameter "Wagen": integer.
inline constexpr std::string_view ADOZoekRitstaat =
    "select * from ritstaten\ninner join wagens on wag_id=lsn_wag_id\nwhere lsn_wag_id=:Wagen\n"
    "and lsn_status=0";

// The parameter that carries pla_soortvervoer in TripOptionsQuery.
inline constexpr std::string_view kTripOptionsVervoerParam = "vor";

// "update planning set pla_com_status=1 where pla_id=" + ride
std::string AcceptRideStatement(long long pla_id);
// The ride goes back to the dispatchers, urgent, with the vehicle it was meant for kept.
// With route > 0 every ride of that route ("... where pla_route=" + route), otherwise
// the one ride ("... where pla_id=" + ride).
std::string ReturnRideStatement(long long wag_id, long long wag_taxis, long long lsn_route,
                                long long lsn_rit);
// "UPDATE RITSTATEN SET lsn_rit=0, lsn_route=0, lsn_actie='B' where lsn_id=" + sheet
std::string FreeTripSheetStatement(long long lsn_id);
// "UPDATE RITSTATEN SET lsn_actie='L' where lsn_route=0 AND lsn_id=" + sheet
std::string NoShowTripSheetStatement(long long lsn_id);
// "UPDATE RITSTATEN SET lsn_actie='K' where lsn_id=" + sheet
std::string PassengerOnBoardTripSheetStatement(long long lsn_id);
// "update wagens set wag_kmstand=(" + reading + "/10) where wag_id=" + vehicle; the
// reading is in tenths of a kilometre.
std::string OdometerStatement(long long reading_tenths, long long wag_id);
// "select * from planning where pla_id=" + ride (ADORITBIJWERKEN, ADOZoekrit)
std::string RideQuery(long long pla_id);
// "select * from planning where pla_status <> 'V' AND pla_id=" + ride
std::string UncompletedRideQuery(long long pla_id);
// "select max(bra_odometer_huidig) as waarde from brandstof where bra_wag_id=" + vehicle
std::string HighestOdometerQuery(long long wag_id);
// "select * from zolinstellingen where zol_bdr_id=" + company + " AND zol_vor_id=:vor
// AND zol_rc=" + rc; pla_soortvervoer is bound to kTripOptionsVervoerParam.
std::string TripOptionsQuery(long long bdr_id, long long pla_rc);

}  // namespace dorvek::db::queries
