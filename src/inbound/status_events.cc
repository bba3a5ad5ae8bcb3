#include "inbound/status_events.h"

namespace dorvek::inbound {

Outcome HandleStatusEvent(const HandlerParts&, const PacketContext&) { return Outcome::kNext; }

}  // namespace dorvek::inbound
