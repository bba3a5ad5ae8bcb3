#pragma once
// Street-hail rides: a ride taken on at the roadside is created at its start and
// completed at its end (message number 1).

#include "inbound/packet_context.h"

namespace dorvek::inbound {

// NUMBER exactly "001", STATUS NEW and body "001" 5 (start) or 3 (end).
bool IsStreetHail(const PacketContext& packet);
Outcome HandleStreetHail(const HandlerParts& parts, const PacketContext& packet);

}  // namespace dorvek::inbound
