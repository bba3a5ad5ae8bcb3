#pragma once
// Terminal key events: speech and break requests, texts from the driver, and the
// alarm, sector and unregistered-ride reports of message number 2.

#include "inbound/packet_context.h"

namespace dorvek::inbound {

// Message number 12, KEY/NEW: notification 1.
Outcome HandleSpeechRequest(const HandlerParts& parts, const PacketContext& packet);
// Message number 4, KEY/NEW: notification 102.
Outcome HandleBreakRequest(const HandlerParts& parts, const PacketContext& packet);
// Message number 14 with body "002": notification 103.
Outcome HandleDriverText(const HandlerParts& parts, const PacketContext& packet);
// Message number 2: alarm, sector row, unregistered ride start and end.
Outcome HandleTerminalReport(const HandlerParts& parts, const PacketContext& packet);

}  // namespace dorvek::inbound
