#pragma once
// The driver's shift forms of message number 4: log-in and shift start with its
// reply, speech request, refuelling, shift end and break request.

#include "inbound/packet_context.h"

namespace dorvek::inbound {

Outcome HandleShiftForms(const HandlerParts& parts, const PacketContext& packet);

}  // namespace dorvek::inbound
