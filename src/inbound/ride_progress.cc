#include "inbound/ride_progress.h"

namespace dorvek::inbound {

bool IsRideProgress(const PacketContext&) { return false; }

Outcome HandleRideProgress(const HandlerParts&, const PacketContext&) { return Outcome::kNext; }

}  // namespace dorvek::inbound
