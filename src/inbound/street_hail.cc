#include "inbound/street_hail.h"

namespace dorvek::inbound {

bool IsStreetHail(const PacketContext&) { return false; }

Outcome HandleStreetHail(const HandlerParts&, const PacketContext&) { return Outcome::kNext; }

}  // namespace dorvek::inbound
