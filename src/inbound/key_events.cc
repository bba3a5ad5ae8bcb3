#include "inbound/key_events.h"

namespace dorvek::inbound {

Outcome HandleSpeechRequest(const HandlerParts&, const PacketContext&) { return Outcome::kNext; }

Outcome HandleBreakRequest(const HandlerParts&, const PacketContext&) { return Outcome::kNext; }

Outcome HandleDriverText(const HandlerParts&, const PacketContext&) { return Outcome::kNext; }

Outcome HandleTerminalReport(const HandlerParts&, const PacketContext&) { return Outcome::kNext; }

}  // namespace dorvek::inbound
