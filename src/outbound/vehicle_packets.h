#pragma once
// The message box's packets that address a vehicle's terminal without a ride: terminal
// reset, clearing the rides, forced log-out, alarm reset and the text message. Pure.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace dorvek::outbound {

// The bbo_actie values of the message box.
enum BboActie : long long {
  kRitAanbieden = 1,
  kRitIntrekken = 2,
  kTerminalReset = 3,
  kRittenWissen = 7,
  kAlarmReset = 8,
  kGeforceerdUitloggen = 9,
  kChatbericht98 = 98,
  kChatbericht99 = 99,
};

// The length field has four digits: no packet may be longer.
inline constexpr std::size_t kMaxPacketChars = 9999;

struct VehiclePacket {
  std::string log_text;  // written before the packet, followed by CR LF and the packet
  std::string packet;
  // Characters of the message text before it was cut to fit the packet; 0 when the
  // text fitted (or the action carries none).
  std::size_t cut_from_chars = 0;
  std::size_t text_chars = 0;  // characters of the message text as sent
};

// True for the actions this file builds: 3, 7, 8, 9, 98 and 99.
bool IsVehicleAction(long long bbo_actie);

// The packet of actions 3, 7, 8, 9, 98 and 99 for the terminal wag_imei; nothing for any
// other action. The message text is bbo_pakket without line feeds and carriage returns;
// one that would make the packet longer than kMaxPacketChars is cut, on a character
// boundary, so the packet is exactly that long.
std::optional<VehiclePacket> BuildVehiclePacket(long long bbo_actie, std::string_view wag_imei,
                                                std::string_view bbo_pakket);

}  // namespace dorvek::outbound
