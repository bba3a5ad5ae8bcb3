#pragma once
// Ride progress of message number 0: passenger boarded and passenger alighted. The
// ride moves to "K" and then to "V" with the addresses, odometer readings, distance,
// amount and trip data the terminal sends.

#include "inbound/packet_context.h"

namespace dorvek::inbound {

// Body "001" "002" with a ride number above 0 (boarded), or "003" (alighted).
bool IsRideProgress(const PacketContext& packet);
// The ride reads, updates, trip-sheet statement and route-status call are not guarded:
// their failure ends the packet. Notifications never do.
Outcome HandleRideProgress(const HandlerParts& parts, const PacketContext& packet);

}  // namespace dorvek::inbound
