#pragma once
// Terminal status events: the numbered event of body "201" in a message-number-4
// packet becomes a notification for the dispatchers; event 27 also accepts the ride.

#include "inbound/packet_context.h"

namespace dorvek::inbound {

Outcome HandleStatusEvent(const HandlerParts& parts, const PacketContext& packet);

}  // namespace dorvek::inbound
