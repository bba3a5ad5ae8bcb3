#include "inbound/key_events.h"

#include <string>

#include "gateway/packet_number.h"
#include "inbound/handler_steps.h"

namespace dorvek::inbound {
namespace {

constexpr long long kHighestSector = 50;

}  // namespace

Outcome HandleSpeechRequest(const HandlerParts& parts, const PacketContext& packet) {
  Notify(parts, packet, 1, "Spraakverzoek wagen " + std::to_string(packet.vehicle.wag_taxis()));
  return Outcome::kNext;
}

Outcome HandleBreakRequest(const HandlerParts& parts, const PacketContext& packet) {
  Notify(parts, packet, 102,
         Wagen(packet.vehicle) + " verzoek pauze - " + packet.velden.Get("004") + " minuten");
  return Outcome::kNext;
}

Outcome HandleDriverText(const HandlerParts& parts, const PacketContext& packet) {
  Notify(parts, packet, 103, Wagen(packet.vehicle) + ": " + packet.velden.Get("002"));
  return Outcome::kNext;
}

Outcome HandleTerminalReport(const HandlerParts& parts, const PacketContext& packet) {
  const std::string& report = packet.velden.Get("035");
  const bool has_position = !packet.velden.Get("043").empty();

  if (report == "000") Notify(parts, packet, 104, Wagen(packet.vehicle) + " meld een ALARM");

  if (const std::string& sector_text = packet.velden.Get("009"); !sector_text.empty()) {
    // A signed test: a negative sector is recorded too.
    const long long sector = gateway::PacketNumber(sector_text);
    if (sector != 0 && sector <= kHighestSector)
      parts.db.Insert("sectoren", {{"sec_datum", parts.clock.LocalNow()},
                                   {"sec_wag_id", packet.vehicle.wag_id()},
                                   {"sec_bdr_id", packet.vehicle.bdr_id()},
                                   {"sec_sector", sector}});
  }

  if (report == "005" && has_position)
    Notify(parts, packet, 105, Wagen(packet.vehicle) + " aanvang zwarte rit");
  if (report == "006" && has_position)
    Notify(parts, packet, 119, Wagen(packet.vehicle) + " einde zwarte rit");
  return Outcome::kNext;
}

}  // namespace dorvek::inbound
