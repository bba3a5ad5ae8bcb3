#pragma once
// The driver's shift forms of message number 4, in this order: log-in and shift start
// ("003" = "003", opens a trip sheet and queues the reply), speech request ("038" =
// "1"), refuelling ("019" / "119"), shift end ("003" = "000", closes the open trip
// sheet) and break request ("003" = "005"). The status event of "201" that such a
// packet may carry has its own route before this one and is not handled here.
//
// Failures: every notification step and the log-in's odometer statement are guarded (a
// warning, and the handling goes on). The reads, the trip-sheet insert and update, the
// fuel rows, the shift end's odometer statement and queuing the reply are not: their
// failure ends the packet. A refused log-in or shift end is an information entry and
// ends the packet (kDone).

#include "inbound/packet_context.h"

namespace dorvek::inbound {

Outcome HandleShiftForms(const HandlerParts& parts, const PacketContext& packet);

}  // namespace dorvek::inbound
