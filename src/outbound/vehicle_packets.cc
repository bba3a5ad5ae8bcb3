#include "outbound/vehicle_packets.h"

#include "core/codepage.h"
#include "gateway/packet_writer.h"
#include "outbound/ride_packets.h"

namespace dorvek::outbound {
namespace {

std::string Macro(std::string_view unit, const char* number) {
  return gateway::BuildPacket({"123", "MACRO", "NEW", "60", std::string(unit), number, "0"});
}

std::string Form(std::string_view unit, const char* number, const char* key, const std::string& value) {
  return gateway::BuildPacket({"123", "FORM", "NEW", "60", std::string(unit), number, "001", key, value});
}

VehiclePacket TextMessage(const std::string& unit, std::string_view bbo_pakket) {
  std::string text;
  text.reserve(bbo_pakket.size());
  for (char c : bbo_pakket)
    if (c != '\n' && c != '\r') text += c;

  VehiclePacket result{"Taxis Dorvek ZOL chatbericht ", {}, 0, core::Utf8Length(text)};
  const std::size_t frame = core::Utf8Length(Form(unit, "014", "1", ""));
  const std::size_t room = frame < kMaxPacketChars ? kMaxPacketChars - frame : 0;
  if (result.text_chars > room) {
    result.cut_from_chars = result.text_chars;
    text = core::Utf8Truncate(text, room);
    result.text_chars = room;
  }
  result.packet = Form(unit, "014", "1", text);
  return result;
}

}  // namespace

bool IsVehicleAction(long long bbo_actie) {
  switch (bbo_actie) {
    case kTerminalReset:
    case kRittenWissen:
    case kAlarmReset:
    case kGeforceerdUitloggen:
    case kChatbericht98:
    case kChatbericht99:
      return true;
    default:
      return false;
  }
}

std::optional<VehiclePacket> BuildVehiclePacket(long long bbo_actie, std::string_view wag_imei,
                                                std::string_view bbo_pakket) {
  const std::string unit(wag_imei);
  switch (bbo_actie) {
    case kTerminalReset:
      return VehiclePacket{"Taxis Dorvek ZOL terminal reset ", Macro(unit, "0")};
    case kRittenWissen:
      return VehiclePacket{"Taxis Dorvek ZOL ritten wissen ", Macro(unit, "3")};
    case kGeforceerdUitloggen:
      return VehiclePacket{"Taxis Dorvek ZOL geforceerd uitloggen ", Form(unit, "4", "3", "0")};
    case kAlarmReset:
      return VehiclePacket{"Taxis Dorvek ZOL alarm reset ", Macro(unit, "1")};
    case kChatbericht98:
    case kChatbericht99:
      return TextMessage(unit, bbo_pakket);
    default:
      return std::nullopt;  // not a vehicle action (IsVehicleAction)
  }
}

}  // namespace dorvek::outbound
