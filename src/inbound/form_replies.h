#pragma once
// Acknowledgements and form replies of message number 0: acknowledged and stale
// messages, customer-call requests, refusals and no-shows with their reply packet.

#include "inbound/packet_context.h"

namespace dorvek::inbound {

Outcome HandleFormReplies(const HandlerParts& parts, const PacketContext& packet);

}  // namespace dorvek::inbound
