#pragma once
// Ride progress of message number 0: passenger boarded and passenger alighted.

#include "inbound/packet_context.h"

namespace dorvek::inbound {

// Body "001" "002" (boarded) or "003" (alighted).
bool IsRideProgress(const PacketContext& packet);
Outcome HandleRideProgress(const HandlerParts& parts, const PacketContext& packet);

}  // namespace dorvek::inbound
