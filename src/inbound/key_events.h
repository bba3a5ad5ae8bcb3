#pragma once
// Terminal key events: speech and break requests, texts from the driver, and the
// alarm, sector and unregistered-ride reports of message number 2. Each becomes an
// operator notification (the sector report a sectoren row); none answers the terminal.
// The routing table checks the conditions; these handlers only act.

#include "inbound/packet_context.h"

namespace dorvek::inbound {

// Message number 12, KEY/NEW: notification 1.
Outcome HandleSpeechRequest(const HandlerParts& parts, const PacketContext& packet);
// Message number 4, KEY/NEW: notification 102 with the minutes of body "004" as sent
// (not checked: without them the text reads "... -  minuten"). The break-request form
// posts the same notification.
Outcome HandleBreakRequest(const HandlerParts& parts, const PacketContext& packet);
// Message number 14 with body "002": notification 103 with the driver's text.
Outcome HandleDriverText(const HandlerParts& parts, const PacketContext& packet);
// Message number 2, four independent checks in this order: alarm ("035" "000",
// notification 104), sector ("009" from 1 to 50, or negative: a sectoren row),
// unregistered ride start and end ("035" "005" / "006" with a position in "043",
// notifications 105 / 119). A failed sectoren row is not caught: it ends the packet
// before the ride checks.
Outcome HandleTerminalReport(const HandlerParts& parts, const PacketContext& packet);

}  // namespace dorvek::inbound
