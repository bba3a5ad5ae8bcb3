#pragma once
// Acknowledgements and form replies of message number 0: acknowledged and stale
// messages, customer-call requests, refusals and no-shows with their reply packet.
// The steps are independent tests on the same packet, run in that order.

#include "inbound/packet_context.h"

namespace dorvek::inbound {

// The acknowledgement, stale-message, call-request and refusal steps are each guarded:
// a failure inside one is a warning and the next step goes on. The no-show's ride
// update, route-status call and trip-sheet statement are not: their failure ends the
// packet before its notification and reply.
Outcome HandleFormReplies(const HandlerParts& parts, const PacketContext& packet);

}  // namespace dorvek::inbound
