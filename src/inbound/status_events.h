#pragma once
// Terminal status events: the numbered event of body "201" in a message-number-4
// packet becomes notification 999 for the dispatchers, "Wagen " + fleet number + the
// event's text; event 27 (ride accepted) first records the acceptance of the ride in
// body "000". Codes without a text post nothing. Handled once per packet, before the
// shift forms of the same packet.

#include "inbound/packet_context.h"

namespace dorvek::inbound {

// Failures of the ride acceptance and of the notification are reported by them and do
// not end the packet.
Outcome HandleStatusEvent(const HandlerParts& parts, const PacketContext& packet);

}  // namespace dorvek::inbound
