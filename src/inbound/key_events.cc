#include "inbound/key_events.h"

#include <string>

#include "db/notifications.h"
#include "gateway/packet_number.h"

namespace dorvek::inbound {
namespace {

constexpr long long kHighestSector = 50;

std::string FleetNumber(const PacketContext& packet) { return std::to_string(packet.vehicle.wag_taxis()); }

// Berichtmaken reports its own failures; nothing here ends the packet.
void Notify(const HandlerParts& parts, const PacketContext& packet, int status, const std::string& text) {
  db::Berichtmaken(parts.db, parts.log, status, 1, text, packet.vehicle.wag_id());
}

}  // namespace

Outcome HandleSpeechRequest(const HandlerParts& parts, const PacketContext& packet) {
  Notify(parts, packet, 1, "Spraakverzoek wagen " + FleetNumber(packet));
  return Outcome::kNext;
}

Outcome HandleBreakRequest(const HandlerParts& parts, const PacketContext& packet) {
  Notify(parts, packet, 102,
         "Wagen " + FleetNumber(packet) + " verzoek pauze - " + packet.velden.Get("004") + " minuten");
  return Outcome::kNext;
}

Outcome HandleDriverText(const HandlerParts& parts, const PacketContext& packet) {
  Notify(parts, packet, 103, "Wagen " + FleetNumber(packet) + ": " + packet.velden.Get("002"));
  return Outcome::kNext;
}

Outcome HandleTerminalReport(const HandlerParts& parts, const PacketContext& packet) {
  const std::string& report = packet.velden.Get("035");
  const bool has_position = !packet.velden.Get("043").empty();

  if (report == "000") Notify(parts, packet, 104, "Wagen " + FleetNumber(packet) + " meld een ALARM");

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
    Notify(parts, packet, 105, "Wagen " + FleetNumber(packet) + " aanvang zwarte rit");
  if (report == "006" && has_position)
    Notify(parts, packet, 119, "Wagen " + FleetNumber(packet) + " einde zwarte rit");
  return Outcome::kNext;
}

}  // namespace dorvek::inbound
