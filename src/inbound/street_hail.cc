#include "inbound/street_hail.h"

#include <optional>
#include <string>

#include "core/codepage.h"
#include "db/queries.h"
#include "db/route_status.h"
#include "inbound/handler_steps.h"
#include "inbound/ride_columns.h"

namespace dorvek::inbound {
namespace {

constexpr long long kStart = 5;
constexpr long long kEnd = 3;
// Ride ids below this are not taken as naming a ride at the end.
constexpr long long kLowestRideId = 10000;
constexpr std::string_view kInstaprit = "INSTAPRIT";

// Without the blanks (and control characters) around it.
std::string_view Trim(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

std::string RemoveAll(std::string text, std::string_view what) {
  for (std::size_t at; (at = text.find(what)) != std::string::npos;) text.erase(at, what.size());
  return text;
}

// A column of a row as it stands, NULL when there is no row or no such column.
db::Value Column(const db::Row* row, std::string_view column) {
  const db::Value* value = row ? row->Find(column) : nullptr;
  return value ? *value : db::Value(db::Null{});
}

Outcome Start(const HandlerParts& parts, const PacketContext& packet) {
  const gateway::PakketVelden& velden = packet.velden;
  const long long wag_id = packet.vehicle.wag_id();
  const std::string taxi = std::to_string(packet.vehicle.wag_taxis());

  const auto sheets = parts.db.Query(db::queries::ADOLSN, {{"Wagennummer", wag_id}});
  if (sheets.empty()) {
    parts.log.Info("Taxis Dorvek ZOL aanmaken instaprit mislukt voor wagen " + taxi +
                   ". Wagen niet in dienst of geen beschikbare ritstaat gevonden.");
    return Outcome::kDone;
  }
  const db::Row& sheet = sheets.front();  // the query asks for no order
  const auto constants =
      parts.db.Query(db::queries::ADOConstanten, {{"Bedrijf", sheet.Int("lsn_bdr_id")}});
  const db::Row* constanten = constants.empty() ? nullptr : &constants.front();

  const std::string& street = velden.Get("003");
  const std::string& city = velden.Get("004");
  const std::optional<core::Decimal> odometer = BodyReading(velden, "036");
  const core::DateTime now = parts.clock.LocalNow();
  const db::Columns ride = Joined(
      Written({
          {"pla_cloud", 1LL},
          {"pla_wagen", wag_id},
          {"pla_chauffeur", Column(&sheet, "lsn_chf_id")},
          {"pla_datum", now},
          {"pla_tijdstip", now},
          {"pla_tijdstip_locatie", packet.pakket_tijd},
          {"pla_tijdstip_toewijzen", packet.pakket_tijd},
          {"pla_tijdstip_bestemmen", packet.pakket_tijd},
          {"pla_status", std::string("K")},
          {"pla_rc", 0LL},
          {"pla_lopers", 1LL},
          {"pla_reiziger", Column(constanten, "con_contant")},
          {"pla_tarief_bedrijf", Column(constanten, "con_tarief")},
          {"pla_lsn", sheet.Int("lsn_id")},
          {"pla_bdr_id", Column(&sheet, "lsn_bdr_id")},
          {"pla_oph_land", Column(constanten, "con_land")},  // cut to its 2 characters
          {"pla_ophstraat", street.empty() ? std::string(kInstaprit) : core::Utf8Truncate(street, 20)},
          // Every ", NLD" goes before the cut: cut first, a long city would keep part of it.
          {"pla_ophstad",
           city.empty() ? std::string(kInstaprit) : core::Utf8Truncate(RemoveAll(city, ", NLD"), 20)},
          {"pla_opmerking", std::string(kInstaprit)},
          {"pla_start_straat", When(!street.empty(), street)},
          {"pla_start_stad", When(!city.empty(), city)},
          {"pla_km_map", WhenKnown(odometer)},
          {"pla_odo_start", WhenKnown(odometer)},
          {"pla_rolstoel", 0LL},
          {"pla_soortvervoer", std::string("P")},
          {"pla_soortwagen", Column(packet.vehicle.row(), "wag_type")},
          {"pla_soortrit", std::string("S")},
          {"pla_naam_reiziger", std::string(kInstaprit)},
          {"pla_combineren", 0LL},
          {"pla_filter", std::string("I")},
      }),
      TripComputerColumns(velden));
  parts.db.Insert("planning", ride);

  const auto numbers = parts.db.Query(db::queries::ADORITNUMMER, {{"Wagennummer", wag_id}});
  // MAX() gives one row even when nothing matches; its NULL is no ride as well.
  if (numbers.empty() || numbers.front().IsNull("waarde")) {
    Notify(parts, packet, 999, Wagen(packet.vehicle) + " aanmaken instaprit mislukt");
    parts.log.Info("Taxis Dorvek ZOL aanmaken instaprit mislukt voor wagen " + taxi +
                   ". Geen beschikbare rit gevonden.");
    return Outcome::kDone;
  }
  parts.db.Update("ritstaten", "lsn_id", sheet.Int("lsn_id"),
                  {{"lsn_rit", numbers.front().Int("waarde")},
                   {"lsn_route", 0LL},
                   {"lsn_actie", std::string("K")}});
  Notify(parts, packet, 106, Wagen(packet.vehicle) + " heeft een instaprit");
  return Outcome::kNext;
}

enum class NamedBy { kRideId, kTripSheet };

// Completes the ride with the trip computer's figures and has the database re-check the
// vehicle's route status. The ride's pla_km_map held the odometer at the start and
// becomes the distance driven, when both readings are known. A ride already completed
// is left as it is: an end that comes twice (a terminal sending it again) would
// otherwise take the distance from the distance.
void Complete(const HandlerParts& parts, const PacketContext& packet, const db::Row& ride, NamedBy named_by) {
  if (ride.Text("pla_status") == "V") {
    parts.log.Info("Taxis Dorvek ZOL einde instaprit genegeerd voor wagen " +
                   std::to_string(packet.vehicle.wag_taxis()) + ": rit " + std::to_string(ride.Int("pla_id")) +
                   " was al voltooid");
    return;
  }
  const gateway::PakketVelden& velden = packet.velden;
  const std::string& street = velden.Get("003");
  const std::string& city = velden.Get("004");
  const std::optional<core::Decimal> odometer = BodyReading(velden, "036");
  // Only a ride the terminal itself created gets the terminal's destination.
  const bool destination = !street.empty() && odometer &&
                           Trim(ride.Text("pla_naam_reiziger")) == kInstaprit;
  const db::Columns columns = Joined(
      Written({
          {"pla_cloud", 2LL},
          {"pla_status", std::string("V")},
          {"pla_filter", When(named_by == NamedBy::kRideId, std::string("I"))},
          {"pla_tijdstip_vrijmelden", packet.pakket_tijd},
          {"pla_bedrag_1", BodyHundredths(velden, "012")},
          {"pla_km_map", DistanceDriven(odometer, ride)},
          {"pla_odo_stop", WhenKnown(odometer)},
          {"pla_besstraat", When(destination, street)},
          {"pla_eind_straat", When(destination, street)},
          {"pla_beststad", When(destination, city)},
          {"pla_eind_stad", When(destination, city)},
      }),
      TripComputerColumns(velden));
  parts.db.Update("planning", "pla_id", ride.Int("pla_id"), columns);
  db::CallRouteStatusControle(parts.db, packet.vehicle.wag_id());
}

Outcome End(const HandlerParts& parts, const PacketContext& packet) {
  const long long pla_id = BodyInteger(packet.velden, "000");
  if (pla_id >= kLowestRideId) {
    const auto rides = parts.db.Query(db::queries::RideQuery(pla_id));
    if (!rides.empty()) Complete(parts, packet, rides.front(), NamedBy::kRideId);
    return Outcome::kNext;
  }
  Notify(parts, packet, 107, Wagen(packet.vehicle) + " einde instaprit");
  const auto sheets =
      parts.db.Query(db::queries::ADOZOEKACTIEVERIT, {{"Wagennummer", packet.vehicle.wag_id()}});
  if (sheets.empty()) return Outcome::kNext;
  const auto rides = parts.db.Query(db::queries::RideQuery(sheets.front().Int("lsn_rit")));
  if (!rides.empty()) Complete(parts, packet, rides.front(), NamedBy::kTripSheet);
  return Outcome::kNext;
}

}  // namespace

bool IsStreetHail(const PacketContext& packet) {
  const long long action = BodyInteger(packet.velden, "001");
  return packet.velden.Get("NUMBER") == "001" && packet.velden.Get("STATUS") == "NEW" &&
         (action == kStart || action == kEnd);
}

Outcome HandleStreetHail(const HandlerParts& parts, const PacketContext& packet) {
  return BodyInteger(packet.velden, "001") == kStart ? Start(parts, packet) : End(parts, packet);
}

}  // namespace dorvek::inbound
