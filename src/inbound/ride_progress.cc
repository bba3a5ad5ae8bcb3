#include "inbound/ride_progress.h"

#include <optional>
#include <string>

#include "db/queries.h"
#include "db/route_status.h"
#include "inbound/handler_steps.h"
#include "inbound/ride_columns.h"

namespace dorvek::inbound {
namespace {

constexpr std::string_view kBoarded = "002";
constexpr std::string_view kAlighted = "003";

// The address the notifications show: street, then a blank and the town when there
// is one (so a town without a street begins with a blank).
std::string AddressText(const gateway::PakketVelden& velden) {
  std::string text = velden.Get("003");
  if (!velden.Get("004").empty()) text += " " + velden.Get("004");
  return text;
}

void Boarded(const HandlerParts& parts, const PacketContext& packet, long long pla_id) {
  const gateway::PakketVelden& velden = packet.velden;
  const std::string address = AddressText(velden);
  const auto rides = parts.db.Query(db::queries::RideQuery(pla_id));
  if (rides.empty()) {
    Guarded(parts.log, [&] {
      Notify(parts, packet, 114, Wagen(packet.vehicle) + " rit " + std::to_string(pla_id) + " niet gevonden");
    });
    return;
  }
  const db::Row& ride = rides.front();
  // A boarding that comes again after the ride was completed would undo it.
  if (ride.Text("pla_status") == "V") {
    parts.log.Info("Taxis Dorvek ZOL instappen genegeerd voor wagen " + std::to_string(packet.vehicle.wag_taxis()) +
                   ": rit " + std::to_string(ride.Int("pla_id")) + " was al voltooid");
    return;
  }
  const std::string& street = velden.Get("003");
  const std::string& town = velden.Get("004");
  const std::string& pass = velden.Get("031");
  const std::optional<core::Decimal> odometer = BodyReading(velden, "036");
  const long long waiting = BodyInteger(velden, "062");
  // Until the passenger alights, pla_km_map holds the odometer at boarding; NULL when
  // the terminal sent none, so the alighting computes no distance from it.
  parts.db.Update("planning", "pla_id", ride.Int("pla_id"),
                  Written({
                      {"pla_cloud", 2LL},
                      {"pla_status", std::string("K")},
                      {"pla_tijdstip_bestemmen", packet.pakket_tijd},
                      {"pla_bedrag_1", core::Decimal()},
                      {"pla_km_map", WhenKnown(odometer).value_or(db::Null{})},
                      {"pla_pasnummer", When(!pass.empty(), pass)},
                      {"pla_start_straat", When(!street.empty(), street)},
                      {"pla_start_stad", When(!town.empty(), town)},
                      {"pla_odo_start", WhenKnown(odometer)},
                      {"pla_wachtseconden", When(waiting > 0, waiting)},
                      {"pla_retour_rbs", RetourRbs(ride)},
                      {"pla_com_status", 1LL},
                  }));
  parts.db.Execute(db::queries::PassengerOnBoardTripSheetStatement(ride.Int("pla_lsn")));
  db::CallRouteStatusControle(parts.db, packet.vehicle.wag_id());
  Guarded(parts.log, [&] { Notify(parts, packet, 113, Wagen(packet.vehicle) + " klant ingestapt " + address); });
}

void Alighted(const HandlerParts& parts, const PacketContext& packet, long long pla_id) {
  const gateway::PakketVelden& velden = packet.velden;
  const core::Decimal amount = BodyHundredths(velden, "012");
  if (pla_id <= 0) return;
  const std::string address = AddressText(velden);
  Guarded(parts.log, [&] { Notify(parts, packet, 115, Wagen(packet.vehicle) + " klant uitgestapt " + address); });
  const auto rides = parts.db.Query(db::queries::UncompletedRideQuery(pla_id));
  if (rides.empty()) return;  // no such ride, or already completed
  const db::Row& ride = rides.front();
  const std::string& street = velden.Get("003");
  const std::string& town = velden.Get("004");
  const std::string& pass = velden.Get("031");
  const std::optional<core::Decimal> odometer = BodyReading(velden, "036");
  // pla_km_map turns from the odometer at boarding into the distance driven, when both
  // readings are known.
  parts.db.Update("planning", "pla_id", ride.Int("pla_id"),
                  Joined(Written({
                             {"pla_com_status", 1LL},
                             {"pla_status", std::string("V")},
                             {"pla_tijdstip_vrijmelden", packet.pakket_tijd},
                             {"pla_bedrag_1", amount},
                             {"pla_km_map", DistanceDriven(odometer, ride)},
                             {"pla_pasnummer", When(!pass.empty(), pass)},
                             {"pla_eind_straat", When(!street.empty(), street)},
                             {"pla_eind_stad", When(!town.empty(), town)},
                             {"pla_odo_stop", WhenKnown(odometer)},
                             {"pla_retour_rbs", RetourRbs(ride)},
                         }),
                         TripComputerColumns(velden)));
  db::CallRouteStatusControle(parts.db, packet.vehicle.wag_id());
}

}  // namespace

bool IsRideProgress(const PacketContext& packet) {
  const std::string& action = packet.velden.Get("001");
  return (action == kBoarded && BodyInteger(packet.velden, "000") > 0) || action == kAlighted;
}

Outcome HandleRideProgress(const HandlerParts& parts, const PacketContext& packet) {
  const long long pla_id = BodyInteger(packet.velden, "000");
  const std::string& action = packet.velden.Get("001");
  if (action == kBoarded && pla_id > 0) Boarded(parts, packet, pla_id);
  if (action == kAlighted) Alighted(parts, packet, pla_id);
  return Outcome::kNext;
}

}  // namespace dorvek::inbound
