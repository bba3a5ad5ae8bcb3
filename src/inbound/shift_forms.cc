#include "inbound/shift_forms.h"

namespace dorvek::inbound {

Outcome HandleShiftForms(const HandlerParts&, const PacketContext&) { return Outcome::kNext; }

}  // namespace dorvek::inbound
