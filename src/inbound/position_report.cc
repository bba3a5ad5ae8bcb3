#include "inbound/position_report.h"

#include <cstdlib>
#include <exception>
#include <string>

namespace dorvek::inbound {

bool HasPosition(const gateway::PakketVelden& velden) {
  return !velden.Get("042").empty() && !velden.Get("043").empty();
}

std::optional<double> CoordinateValue(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::string s(text);
  for (char& c : s)
    if (c == ',') c = '.';
  char* end = nullptr;
  const double value = std::strtod(s.c_str(), &end);
  if (end == s.c_str() || *end != '\0') return std::nullopt;
  return value;
}

Outcome HandlePositionReport(const HandlerParts& parts, const PacketContext& packet, Position& position) {
  ConvertZOLGPS(packet.velden.Get("042"), packet.velden.Get("043"), parts.settings.separator, position,
                parts.log);
  auto decimal = [](const std::string& text) -> db::Value {
    if (const auto v = CoordinateValue(text)) return *v;
    return db::Null{};
  };
  try {
    parts.db.Insert("gps", {{"GPS_Imei", packet.vehicle.wag_imei()},
                            {"GPS_Datum_UTC", packet.pakket_tijd},
                            {"GOS_bdr_id", packet.vehicle.bdr_id()},
                            {"GPS_Longitude", decimal(position.lengtegraad)},
                            {"GPS_Latitude", decimal(position.breedtegraad)},
                            {"GPS_Datum", parts.clock.LocalNow()},
                            {"GPS_Statuscode", std::string("ATU")}});
  } catch (const std::exception& e) {
    parts.log.Warning(e.what());
  }
  return Outcome::kNext;
}

}  // namespace dorvek::inbound
