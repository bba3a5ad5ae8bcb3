#include "fleet/record.h"

#include <fmt/format.h>

namespace dorvek::fleet {

const Vehicle* FleetSetup::FindVehicle(long long wag_id) const {
  if (wag_id < 1 || wag_id > static_cast<long long>(vehicles.size())) return nullptr;
  return &vehicles[static_cast<std::size_t>(wag_id - 1)];
}

const Driver* FleetSetup::FindDriver(long long chf_id) const {
  if (chf_id < 1 || chf_id > static_cast<long long>(drivers.size())) return nullptr;
  return &drivers[static_cast<std::size_t>(chf_id - 1)];
}

long long Record::AddSent(SentPacket packet) {
  packet.seq = static_cast<long long>(sent.size()) + 1;
  packet.order = ++orders;
  sent.push_back(std::move(packet));
  return sent.back().seq;
}

void Record::AddDesk(DeskAction action) {
  action.order = ++orders;
  desk.push_back(std::move(action));
}

std::optional<core::DateTime> Record::PacketTime(const SentPacket& packet) {
  if (packet.fields.size() < 4 || packet.fields[3].empty()) return std::nullopt;
  return core::DateTime::Parse(packet.fields[3]);
}

std::string Record::Describe(const SentPacket& packet) const {
  const Vehicle* vehicle = setup.FindVehicle(packet.wag_id);
  const auto time = PacketTime(packet);
  return fmt::format("packet {} ({}{}{})", packet.seq,
                     vehicle ? fmt::format("taxi {}, ", vehicle->wag_taxis) : std::string(),
                     packet.kind, time ? " at " + time->ToSql().substr(11) : std::string());
}

}  // namespace dorvek::fleet
