#include "inbound/handler_steps.h"

#include <exception>

#include "db/notifications.h"
#include "gateway/packet_writer.h"

namespace dorvek::inbound {

std::string Wagen(const CurrentVehicle& vehicle) { return "Wagen " + std::to_string(vehicle.wag_taxis()); }

void Guarded(core::EventLog& log, const std::function<void()>& step) {
  try {
    step();
  } catch (const std::exception& e) {
    log.Warning(e.what());
  } catch (...) {
    log.Warning("Onbekende fout bij het verwerken van een pakket");
  }
}

void Notify(const HandlerParts& parts, const PacketContext& packet, int status, std::string_view text) {
  db::Berichtmaken(parts.db, parts.log, status, 1, text, packet.vehicle.wag_id());
}

void QueueReply(const HandlerParts& parts, const PacketContext& packet,
                const std::vector<std::string>& fields) {
  std::string reply = gateway::BuildPacket(fields);
  parts.log.Info("Taxis Dorvek ZOL pakket aangeboden \r\n" + reply);
  if (packet.outbound == nullptr) {
    parts.log.Warning("Taxis Dorvek ZOL antwoord niet verzonden: de service is niet gestart");
    return;
  }
  packet.outbound->push_back(std::move(reply));
}

}  // namespace dorvek::inbound
