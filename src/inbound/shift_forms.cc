#include "inbound/shift_forms.h"

#include <optional>
#include <stdexcept>
#include <string>

#include "core/decimal.h"
#include "db/queries.h"
#include "gateway/packet_number.h"
#include "inbound/handler_steps.h"
#include "inbound/key_events.h"
#include "inbound/ride_columns.h"

namespace dorvek::inbound {
namespace {

// A notification step: guarded, so no failure in it ends the packet.
void NotifyStep(const HandlerParts& parts, const PacketContext& packet, int status, const std::string& tail) {
  Guarded(parts.log, [&] { Notify(parts, packet, status, Wagen(packet.vehicle) + tail); });
}

// The planned end of a shift: the company's standard length is added as minutes.
core::DateTime PlannedEnd(const core::DateTime& start, long long minutes) {
  long long seconds = 0;
  std::optional<core::DateTime> end;
  if (!__builtin_mul_overflow(minutes, 60LL, &seconds)) end = start.AddSeconds(seconds);
  if (!end)
    throw std::out_of_range("Taxis Dorvek ZOL geplande einde dienst buiten bereik: " + start.ToSql() + " + " +
                            std::to_string(minutes) + " minuten");
  return *end;
}


Outcome LogIn(const HandlerParts& parts, const PacketContext& packet) {
  const gateway::PakketVelden& velden = packet.velden;
  const long long pass = gateway::PacketNumber(velden.Get("001"));
  const long long odometer = gateway::PacketNumber(velden.Get("005"));
  const std::optional<core::Decimal> reading = BodyReading(velden, "005");
  const long long wag_id = packet.vehicle.wag_id();
  const long long bdr_id = packet.vehicle.bdr_id();
  const std::string refused =
      "Taxis Dorvek ZOL in dienst nemen chauffeur mislukt voor wagen " + std::to_string(packet.vehicle.wag_taxis());

  // The pass number is matched as its decimal text: 00123 finds 123.
  const auto drivers = parts.db.Query(db::queries::ADOChauffeurs,
                                      {{"Taxisnummer", std::to_string(pass)}, {"Bedrijfsnummer", bdr_id}});
  if (drivers.empty()) {
    parts.log.Info(refused + ". Geen beschikbaar chauffeursnummer gevonden: " + std::to_string(pass));
    return Outcome::kDone;
  }
  const db::Row& driver = drivers.front();
  const long long chf_id = driver.Int("chf_id");

  // Only an open sheet of this driver on this vehicle refuses; one elsewhere does not.
  const auto open_sheets =
      parts.db.Query(db::queries::ADOLSNDIENST, {{"Wagennummer", wag_id}, {"Chauffeurnummer", chf_id}});
  if (!open_sheets.empty()) {
    parts.log.Info(refused + ". Wagen of chauffeur was reeds in dienst");
    return Outcome::kDone;
  }

  const auto constants = parts.db.Query(db::queries::ADOConstanten, {{"Bedrijf", bdr_id}});
  const long long standard = constants.empty() ? 0 : constants.front().Int("con_standaard_uren");
  const core::DateTime& start = packet.pakket_tijd;
  const core::DateTime end = PlannedEnd(start, standard);
  const std::string description = "ZOL-" + parts.clock.LocalNow().ToCompact().substr(0, 8) + "-" +
                                  std::to_string(wag_id) + "-" + std::to_string(chf_id);

  // Without a reading the starting odometer stays NULL: a missing reading is not 0.
  parts.db.Insert("ritstaten", Written({{"lsn_bdr_id", bdr_id},
                                        {"lsn_aanvang_bct", start},
                                        {"lsn_aanvang", start},
                                        {"lsn_einde", end},
                                        {"lsn_einde_bct", end},
                                        {"lsn_status", 0LL},
                                        {"lsn_actie", std::string("B")},
                                        {"lsn_wag_id", wag_id},
                                        {"lsn_chf_id", chf_id},
                                        {"lsn_omschrijving", description},
                                        {"lsn_kilometerstand_aanvang", WhenKnown(reading)}}));
  if (odometer > 0)
    Guarded(parts.log, [&] { parts.db.Execute(db::queries::OdometerStatement(odometer, wag_id)); });
  NotifyStep(parts, packet, 116, " aanvang dienst " + velden.Get("004"));
  // The driver's name, and the pass number exactly as the terminal sent it.
  QueueReply(parts, packet,
             {"123", "FORM", "NEW", "60", packet.vehicle.wag_imei(), "4", "3", "3", "4", "15",
              driver.Text("chf_naam"), "37", velden.Get("001")});
  return Outcome::kNext;
}

// One fuel row per quantity above 0, all with the highest odometer of the vehicle's
// fuel rows as it stood before this packet. Without a reading bra_odometer_huidig stays
// NULL.
void Refuel(const HandlerParts& parts, const PacketContext& packet) {
  const gateway::PakketVelden& velden = packet.velden;
  const long long wag_id = packet.vehicle.wag_id();
  const std::optional<core::Decimal> reading = BodyReading(velden, "036");
  const auto highest = parts.db.Query(db::queries::HighestOdometerQuery(wag_id));
  const core::Decimal previous = highest.empty() ? core::Decimal() : highest.front().Exact("waarde");

  for (const char* key : {"019", "119"}) {
    const long long quantity = gateway::PacketNumber(velden.Get(key));
    if (quantity <= 0) continue;
    const auto sheets = parts.db.Query(db::queries::ADODIENSTEINDE, {{"Wagennummer", wag_id}});
    const long long chf_id = sheets.empty() ? 0 : sheets.front().Int("lsn_chf_id");
    parts.db.Insert("brandstof", Written({{"bra_bdr_id", packet.vehicle.bdr_id()},
                                          {"bra_wag_id", wag_id},
                                          {"bra_odometer_vorig", previous},
                                          {"bra_chf_id", chf_id},
                                          {"bra_liters", core::Decimal::FromHundredths(quantity)},
                                          {"bra_datum", packet.pakket_tijd},
                                          {"bra_odometer_huidig", WhenKnown(reading)},
                                          {"bra_bedrag", BodyHundredths(velden, "120")}}));
    NotifyStep(parts, packet, 117, " registratie tankbeurt");
  }
}

Outcome EndShift(const HandlerParts& parts, const PacketContext& packet) {
  const long long odometer = gateway::PacketNumber(packet.velden.Get("036"));
  const long long wag_id = packet.vehicle.wag_id();
  NotifyStep(parts, packet, 118, " einde dienst - " + packet.velden.Get("036"));

  const auto sheets = parts.db.Query(db::queries::ADODIENSTEINDE, {{"Wagennummer", wag_id}});
  if (sheets.empty()) return Outcome::kNext;
  const db::Row& sheet = sheets.front();
  // A passenger on board ("K") or any other action keeps the shift open.
  const std::string actie = sheet.Text("lsn_actie");
  if (actie != "B" && actie != "L" && actie != "M") {
    parts.log.Info("Taxis Dorvek ZOL uit dienst nemen chauffeur mislukt voor wagen " + std::to_string(packet.vehicle.wag_taxis()) +
                   ". Status van de ritstaat niet geschikt");
    return Outcome::kDone;
  }
  // Without a reading the closing odometer stays as it was.
  parts.db.Update("ritstaten", "lsn_id", sheet.Int("lsn_id"),
                  Written({{"lsn_einde", packet.pakket_tijd},
                           {"lsn_einde_bct", packet.pakket_tijd},
                           {"lsn_status", 1LL},
                           {"lsn_actie", std::string("E")},
                           {"lsn_kilometerstand_einde", WhenKnown(BodyReading(packet.velden, "036"))}}));
  if (odometer > 0) parts.db.Execute(db::queries::OdometerStatement(odometer, wag_id));
  return Outcome::kNext;
}

}  // namespace

Outcome HandleShiftForms(const HandlerParts& parts, const PacketContext& packet) {
  const gateway::PakketVelden& velden = packet.velden;
  const std::string& action = velden.Get("003");
  if (action == "003" && LogIn(parts, packet) == Outcome::kDone) return Outcome::kDone;
  if (velden.Get("038") == "1") NotifyStep(parts, packet, 1, " verzoekt om spraak");
  if (!velden.Get("019").empty() || !velden.Get("119").empty()) Refuel(parts, packet);
  if (action == "000" && EndShift(parts, packet) == Outcome::kDone) return Outcome::kDone;
  if (action == "005") Guarded(parts.log, [&] { HandleBreakRequest(parts, packet); });
  return Outcome::kNext;
}

}  // namespace dorvek::inbound
