#include "outbound/ride_offer.h"

#include "db/queries.h"

namespace dorvek::outbound {

void VerzendenRit(const OfferParts& parts, const db::Row& uitgaand, const db::Row& rit, Amounts amounts) {
  // The kind of transport is bound rather than quoted into the text: a quote in it
  // cannot break the statement, and the same row is selected.
  const std::string vervoer = rit.Text("pla_soortvervoer");
  const auto zolinstellingen = parts.db.Query(
      db::queries::TripOptionsQuery(rit.Int("pla_bdr_id"), rit.Int("pla_rc")),
      {{std::string(db::queries::kTripOptionsVervoerParam), vervoer}});
  const std::string trip_options = TripOptionsString(zolinstellingen);
  const std::string packet = RideOfferPacket(rit, uitgaand.Text("wag_imei"), trip_options, amounts);
  parts.log.Info("Taxis Dorvek ZOL pakket aangeboden (" + trip_options + ")\r\n" + packet);
  parts.queue.push_back(packet);
}

void OngedaanVerzendenRit(const OfferParts& parts, const db::Row& uitgaand) {
  const std::string packet = RideWithdrawalPacket(uitgaand.Int("bbo_pla_id"), uitgaand.Text("wag_imei"));
  parts.log.Info("Taxis Dorvek ZOL pakket aangeboden \r\n" + packet);
  parts.queue.push_back(packet);
}

}  // namespace dorvek::outbound
