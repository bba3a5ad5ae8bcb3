#include "inbound/form_replies.h"

#include <algorithm>
#include <string>
#include <vector>

#include "db/queries.h"
#include "db/route_status.h"
#include "gateway/packet_writer.h"
#include "inbound/handler_steps.h"
#include "inbound/ride_columns.h"
#include "outbound/ride_acceptance.h"

namespace dorvek::inbound {
namespace {

struct Reason {
  std::string_view code;
  std::string_view text;
};

constexpr Reason kNoShowReasons[] = {
    {"000", "Adres niet gevonden"},
    {"001", "Passagier niet gevonden"},
    {"002", "Passagier wil niet mee"},
    {"063", "Geen medische begeleiding"},
    {"079", "Te veel koffers"},
};

// The reason text of a no-show for body "016": a known code's text, otherwise the
// value as received (empty when the field is missing).
std::string NoShowReason(std::string_view code) {
  for (const Reason& reason : kNoShowReasons)
    if (reason.code == code) return std::string(reason.text);
  return std::string(code);
}

constexpr std::string_view kRefusal = "006";
constexpr std::string_view kNoShow = "004";

void Acknowledgement(const HandlerParts& parts, const PacketContext& packet, long long ride) {
  if (ride > 0) {
    outbound::AcceptatieRit(parts.db, parts.log, ride);
    Notify(parts, packet, 108, Wagen(packet.vehicle) + " rit " + std::to_string(ride) + " aangenomen");
  } else {
    Notify(parts, packet, 108, Wagen(packet.vehicle) + " bericht aangenomen");
  }
}

// A customer call is registered only for a ride that asks for one and has a number.
void CallRequest(const HandlerParts& parts, const PacketContext& packet, long long ride) {
  const auto rides = parts.db.Query(db::queries::RideQuery(ride));
  if (rides.empty()) return;
  const db::Row& found = rides.front();
  if (found.Int("pla_bellen") != 1 || found.IsNull("pla_telefoon") || found.Text("pla_telefoon").empty())
    return;
  parts.db.Insert("skype", {{"SkypeDate", parts.clock.LocalNow()},
                            {"SkypeNumber", found.Text("pla_telefoon")},
                            {"SkypeStatus", 0LL},
                            {"SkypeRitnummer", ride}});
  Notify(parts, packet, 110, Wagen(packet.vehicle) + " bellen klant geactiveerd");
}

// The reply body carries the ride number in six digits. A negative number names no
// ride and is answered as ride 0 rather than failing after the ride was closed.
std::string ReplyRideNumber(long long ride) { return gateway::ZeroPadded(std::max(ride, 0LL), 6); }

void NoShow(const HandlerParts& parts, const PacketContext& packet, long long ride) {
  const std::string reason = NoShowReason(packet.velden.Get("016"));
  const long long wag_id = packet.vehicle.wag_id();
  long long lsn_id = 0;
  const auto rides = parts.db.Query(db::queries::RideQuery(ride));
  if (!rides.empty()) {
    const db::Row& found = rides.front();
    lsn_id = found.Int("pla_lsn");
    parts.db.Update("planning", "pla_id", found.Int("pla_id"),
                    Written({
                        {"pla_com_status", 2LL},
                        {"pla_status", std::string("L")},
                        {"pla_tijdstip_bestemmen", packet.pakket_tijd},
                        {"pla_tijdstip_vrijmelden", packet.pakket_tijd},
                        {"pla_redenloosmelden", reason},
                        {"pla_retour_rbs", RetourRbs(found)},
                    }));
  }
  db::CallRouteStatusControle(parts.db, wag_id);
  parts.db.Execute(db::queries::NoShowTripSheetStatement(lsn_id));
  Guarded(parts.log, [&] { Notify(parts, packet, 112, Wagen(packet.vehicle) + " loos " + reason); });
  QueueReply(parts, packet,
             {"123", "FORM", "NEW", "120", packet.vehicle.wag_imei(), "0", "001", "0", ReplyRideNumber(ride)});
}

}  // namespace

Outcome HandleFormReplies(const HandlerParts& parts, const PacketContext& packet) {
  const gateway::PakketVelden& velden = packet.velden;
  const std::string& type = velden.Get("TYPE");
  const std::string& status = velden.Get("STATUS");
  const std::string& action = velden.Get("001");
  const long long ride = BodyInteger(velden, "000");

  if (status == "ACK" && type == "FORM") Guarded(parts.log, [&] { Acknowledgement(parts, packet, ride); });
  if (status == "NAK" && type == "MACRO" && velden.Get("002") == "MESSAGE STALE")
    Guarded(parts.log, [&] { Notify(parts, packet, 109, Wagen(packet.vehicle) + " bericht niet ontvangen"); });
  const std::string& call = velden.Get("032");
  if (call == "1" || call == "2") Guarded(parts.log, [&] { CallRequest(parts, packet, ride); });
  if (action == kRefusal) {
    Guarded(parts.log, [&] {
      Notify(parts, packet, 111, Wagen(packet.vehicle) + " weigering van het bericht");
      outbound::NAKRitopdracht(parts.db, parts.log, packet.vehicle.wag_id());
    });
  }
  if (action == kNoShow) NoShow(parts, packet, ride);
  return Outcome::kNext;
}

}  // namespace dorvek::inbound
