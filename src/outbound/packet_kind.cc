#include "outbound/packet_kind.h"

#include "gateway/packet_reader.h"

namespace dorvek::outbound {

PacketKind KindOfPacket(std::string_view packet) {
  const gateway::PakketVelden velden = gateway::ReadPacket(std::string(packet));
  const std::string& type = velden.Get("TYPE");
  const std::string& number = velden.Get("NUMBER");
  PacketKind kind{"pakket", velden.Get("UNIT")};
  if (type == "MACRO") {
    if (number == "0") kind.kind = "terminal reset";
    if (number == "3") kind.kind = "ritten wissen";
    if (number == "1") kind.kind = "alarm reset";
  } else if (type == "FORM") {
    if (number == "014") kind.kind = "chatbericht";
    if (number == "4") kind.kind = velden.Get("3") == "0" ? "geforceerd uitloggen" : "inlogantwoord";
    // The offer and its withdrawal name the ride in ten digits, the no-show reply in six.
    if (number == "0") {
      const std::size_t digits = velden.Get("0").size();
      if (velden.Get("SIZE") == "001")
        kind.kind = digits == 10 ? "ritintrekking" : "loos-antwoord";
      else
        kind.kind = "ritaanbieding";
    }
  }
  return kind;
}

}  // namespace dorvek::outbound
