#include "inbound/status_events.h"

#include <optional>
#include <string>
#include <string_view>

#include "gateway/packet_number.h"
#include "inbound/handler_steps.h"
#include "outbound/ride_acceptance.h"

namespace dorvek::inbound {
namespace {

constexpr int kStatusEventNotification = 999;
constexpr long long kRideAccepted = 27;

struct StatusEvent {
  long long code;
  std::string_view text;
};

// Codes 0 to 42 but for 3, 38 and 39, and 255.
constexpr StatusEvent kStatusEvents[] = {
    {0, " inloggen in terminal"},
    {1, " uitloggen in terminal"},
    {2, " start rit"},
    {4, " einde rit"},
    {5, " terugbeldienst gevraagd"},
    {6, " verzoek centralist"},
    {7, " start (flagged) rit"},
    {8, " stop (flagged) rit"},
    {9, " start (illegal) rit"},
    {10, " stop (illegal) rit"},
    {11, " GPS ontvanger verbroken"},
    {12, " GPS ontvanger verbonden"},
    {13, " verzoekt om pauze"},
    {14, " start pauze"},
    {15, " einde pauze"},
    {16, " reset terminal"},
    {17, " start alarm"},
    {18, " tekstbericht verzonden"},
    {19, " rit geweigerd"},
    {20, " aan het laden"},
    {21, " aan het lossen"},
    {22, " start wachttijd"},
    {23, " sector actie"},
    {24, " start rijden zonder aanmelden"},
    {25, " stopt rijden zonder aanmelden"},
    {26, " vraagt om aantal treintaxi ritten"},
    {27, " rit aangenomen"},
    {28, " vraagt informatie centralist"},
    {29, " verzoekt om einde pauze"},
    {30, " rit werd verwijderd"},
    {31, " rit tankbeurt registratie"},
    {32, " inloggen private rit"},
    {33, " uitloggen private rit"},
    {34, " betaling verzonden"},
    {35, " toestemming betaling verzonden"},
    {36, " vraagt om ritopdrachten"},
    {37, " reset waargenomen"},
    {40, " bus stop waargenomen"},
    {41, " ETA rit waargenomen"},
    {42, " betaalstatus ontvangen"},
    {255, " stuurt onbekende actie"},
};

// The text of an event code, with its leading blank; nothing for a code without one.
std::optional<std::string_view> StatusEventText(long long code) {
  for (const StatusEvent& event : kStatusEvents)
    if (event.code == code) return event.text;
  return std::nullopt;
}

}  // namespace

Outcome HandleStatusEvent(const HandlerParts& parts, const PacketContext& packet) {
  const std::string& code_text = packet.velden.Get("201");
  if (code_text.empty()) return Outcome::kNext;
  const long long code = gateway::PacketNumber(code_text);
  const auto text = StatusEventText(code);
  if (!text) return Outcome::kNext;
  if (code == kRideAccepted)
    outbound::AcceptatieRit(parts.db, parts.log, gateway::PacketNumber(packet.velden.Get("000")));
  Notify(parts, packet, kStatusEventNotification, Wagen(packet.vehicle) + std::string(*text));
  return Outcome::kNext;
}

}  // namespace dorvek::inbound
